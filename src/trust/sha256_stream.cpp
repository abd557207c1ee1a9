#include "trust/sha256_stream.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <new>
#include <vector>
#endif

namespace korvun {

// The Windows build hashes with the system's own provider (sha256_stream_win.cpp).
#ifndef _WIN32
Sha256Stream::Sha256Stream() : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr) throw std::bad_alloc();
    Reset();
}

Sha256Stream::~Sha256Stream() { EVP_MD_CTX_free(context_); }

void Sha256Stream::Reset() { EVP_DigestInit_ex(context_, EVP_sha256(), nullptr); }

void Sha256Stream::Update(const void* data, size_t size) { EVP_DigestUpdate(context_, data, size); }

Sha256Digest Sha256Stream::Finish() {
    Sha256Digest digest;
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_, digest.data(), &length);
    Reset();
    return digest;
}
#endif

std::string HexDigest(const Sha256Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(digest.size() * 2);
    for (uint8_t byte : digest) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0f]);
    }
    return text;
}

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<Sha256Digest> ParseHexDigest(std::string_view text) {
    Sha256Digest digest;
    if (text.size() != digest.size() * 2) return std::nullopt;
    for (size_t i = 0; i < digest.size(); ++i) {
        int high = HexValue(text[2 * i]);
        int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        digest[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return digest;
}

#ifndef _WIN32
std::optional<FileDigest> DigestFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    Sha256Stream stream;
    FileDigest result;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        stream.Update(buffer.data(), static_cast<size_t>(n));
        result.size += static_cast<uint64_t>(n);
    }
    ::close(fd);
    result.sha256 = stream.Finish();
    return result;
}
#endif

}  // namespace korvun
