#include <windows.h>
// bcrypt.h needs the types of windows.h.
#include <bcrypt.h>

#include <new>
#include <vector>

#include "platform/file_io.h"
#include "trust/sha256_stream.h"

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
    if (hash_) BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(hash_));
}

// Windows 7 has no reusable hash objects: each digest gets a new one.
void Sha256Stream::Reset() {
    if (hash_) BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(hash_));
    BCRYPT_HASH_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(Sha256Provider(), &handle, nullptr, 0, nullptr, 0, 0))) {
        throw std::bad_alloc();
    }
    hash_ = handle;
}

void Sha256Stream::Update(const void* data, size_t size) {
    const auto* bytes = static_cast<const UCHAR*>(const_cast<void*>(data));
    while (size > 0) {
        ULONG part = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(hash_), const_cast<UCHAR*>(bytes), part, 0);
        bytes += part;
        size -= part;
    }
}

Sha256Digest Sha256Stream::Finish() {
    Sha256Digest digest;
    BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(hash_), digest.data(),
                     static_cast<ULONG>(digest.size()), 0);
    Reset();
    return digest;
}

std::optional<FileDigest> DigestFile(const std::string& path) {
    FileHandle file = OpenNativeFile(path, OpenMode::ReadOnly);
    if (!file.IsOpen()) return std::nullopt;
    Sha256Stream stream;
    FileDigest result;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        int64_t n = ReadSome(file.Get(), buffer.data(), buffer.size());
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        stream.Update(buffer.data(), static_cast<size_t>(n));
        result.size += static_cast<uint64_t>(n);
    }
    result.sha256 = stream.Finish();
    return result;
}

}  // namespace korvun
