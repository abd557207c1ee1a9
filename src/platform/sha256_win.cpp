#include <windows.h>
// bcrypt.h needs the types of windows.h.
#include <bcrypt.h>

#include <new>

#include "platform/sha256.h"

namespace korvun {

namespace {

// The algorithm provider is opened once and kept for the life of the process, as CNG intends.
BCRYPT_ALG_HANDLE Sha256Provider() {
    static BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE handle = nullptr;
        if (!BCRYPT_SUCCESS(
                BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
            throw std::bad_alloc();
        }
        return handle;
    }();
    return provider;
}

}  // namespace

Sha256Stream::Sha256Stream() { Reset(); }

Sha256Stream::~Sha256Stream() {
    if (state_) BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(state_));
}

// Windows 7 has no reusable hash objects: each digest gets a new one.
void Sha256Stream::Reset() {
    if (state_) BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(state_));
    BCRYPT_HASH_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(Sha256Provider(), &handle, nullptr, 0, nullptr, 0, 0))) {
        throw std::bad_alloc();
    }
    state_ = handle;
}

void Sha256Stream::Update(const void* data, size_t size) {
    const auto* bytes = static_cast<const UCHAR*>(const_cast<void*>(data));
    while (size > 0) {
        ULONG part = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(state_), const_cast<UCHAR*>(bytes), part, 0);
        bytes += part;
        size -= part;
    }
}

Sha256Digest Sha256Stream::Finish() {
    Sha256Digest digest;
    BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(state_), digest.data(),
                     static_cast<ULONG>(digest.size()), 0);
    Reset();
    return digest;
}

}  // namespace korvun
