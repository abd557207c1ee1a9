// SHA-256 computed as the bytes arrive. The system's fastest implementation: OpenSSL's on
// Linux, which uses the processor's SHA instructions (hashing must keep up with a local
// network), and the system's own provider (CNG) on Windows, which does the same and adds no
// library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

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
    void* state_ = nullptr;  // the implementation's context or hash handle
};

}  // namespace korvun
