// Digests as text and digests of whole files, over the platform's SHA-256.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sha256.h"

namespace korvun {

// Lower-case hexadecimal, as sha256sum writes it.
std::string HexDigest(const Sha256Digest& digest);
// Accepts upper- or lower-case hexadecimal of exactly 64 digits.
std::optional<Sha256Digest> ParseHexDigest(std::string_view text);

struct FileDigest {
    uint64_t size = 0;
    Sha256Digest sha256{};
};
// Size and SHA-256 of a file's content; nullopt when it cannot be read.
std::optional<FileDigest> DigestFile(const std::string& path);

}  // namespace korvun
