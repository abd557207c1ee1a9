// SHA-256 computed as the bytes arrive, so that a download is checked without reading the
// file a second time.
#pragma once

#include <sodium.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvun {

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256Stream {
  public:
    Sha256Stream();
    void Reset();
    void Update(const void* data, size_t size);
    // The digest of everything given since the last Reset(); the stream starts anew.
    Sha256Digest Finish();

  private:
    crypto_hash_sha256_state state_;
};

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
