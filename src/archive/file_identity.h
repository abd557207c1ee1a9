// What a file is, as far as the rollback journal needs to tell one version of the index from
// another: its length and a BLAKE2b-256 digest of its bytes.
#pragma once

#include <sodium.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace korvun {

struct FileIdentity {
    static constexpr size_t kDigestBytes = 32;
    uint64_t length = 0;
    std::array<uint8_t, kDigestBytes> digest = {};

    bool operator==(const FileIdentity&) const = default;
};

// The identity of bytes fed in pieces, as they are written or read.
class ContentHash {
  public:
    ContentHash();
    void Add(const void* data, size_t size);
    FileIdentity Finish();

  private:
    crypto_generichash_state state_;
    uint64_t length_ = 0;
};

// The identity of the file at path; nothing when it cannot be read whole.
std::optional<FileIdentity> IdentifyFile(const std::string& path);

}  // namespace korvun
