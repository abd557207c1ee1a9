// The store's blobs: zstd frames of at most one piece of content, named by the SHA-256 of
// the bytes they hold.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/sha256.h"

namespace korvun {

// One zstd frame that records its content size, so that a reader knows the size before it
// allocates anything.
std::string CompressBlob(std::string_view bytes);

// The bytes of a blob, only when they are what its name says: a frame of at most
// kContentPieceSize bytes whose SHA-256 is blob. nullopt with the reason in error otherwise.
std::optional<std::string> DecompressBlob(std::string_view compressed, const Sha256Digest& blob,
                                          std::string& error);

Sha256Digest DigestOf(std::string_view bytes);

}  // namespace korvun
