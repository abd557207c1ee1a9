#include "store/blob_codec.h"

#include <zstd.h>

#include "store/content_manifest.h"

namespace korvun {

namespace {

// Blobs are written once and read by every client for good; a slow, thorough level pays.
constexpr int kCompressionLevel = 19;

}  // namespace

Sha256Digest DigestOf(std::string_view bytes) {
    Sha256Stream stream;
    stream.Update(bytes.data(), bytes.size());
    return stream.Finish();
}

std::string CompressBlob(std::string_view bytes) {
    std::string frame(ZSTD_compressBound(bytes.size()), '\0');
    size_t size =
        ZSTD_compress(frame.data(), frame.size(), bytes.data(), bytes.size(), kCompressionLevel);
    // The bound is the most the frame can take, so only a failed allocation inside zstd fails.
    if (ZSTD_isError(size)) throw std::bad_alloc();
    frame.resize(size);
    return frame;
}

std::optional<std::string> DecompressBlob(std::string_view compressed, const Sha256Digest& blob,
                                          std::string& error) {
    unsigned long long size = ZSTD_getFrameContentSize(compressed.data(), compressed.size());
    if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN ||
        size > kContentPieceSize) {
        error = "not a blob of this store (no zstd frame of at most one piece)";
        return std::nullopt;
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    size_t got = ZSTD_decompress(bytes.data(), bytes.size(), compressed.data(), compressed.size());
    if (ZSTD_isError(got) || got != size) {
        error = std::string("the blob does not decompress: ") +
                (ZSTD_isError(got) ? ZSTD_getErrorName(got) : "short content");
        return std::nullopt;
    }
    if (DigestOf(bytes) != blob) {
        error = "the blob's content does not have the SHA-256 it is named by";
        return std::nullopt;
    }
    return bytes;
}

}  // namespace korvun
