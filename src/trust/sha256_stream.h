// SHA-256 computed as the bytes arrive, so that a download is checked without reading the
// file a second time. OpenSSL's implementation, because it uses the processor's SHA
// instructions: hashing must keep up with a local network. On Windows, the system's own
// (CNG), which does the same and adds no library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct evp_md_ctx_st;  // OpenSSL's EVP_MD_CTX

namespace korvun {

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256Stream {
  public:
    Sha256Stream();
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;
    void Reset();
    void Update(const void* data, size_t size);
    // The digest of everything given since the last Reset(); the stream starts anew.
    Sha256Digest Finish();

  private:
#ifdef _WIN32
    void* hash_ = nullptr;  // BCRYPT_HASH_HANDLE
#else
    evp_md_ctx_st* context_;
#endif
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
