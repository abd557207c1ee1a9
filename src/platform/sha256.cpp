#include "platform/sha256.h"

#include <openssl/evp.h>

#include <new>

namespace korvun {

namespace {

EVP_MD_CTX* Context(void* state) { return static_cast<EVP_MD_CTX*>(state); }

}  // namespace

Sha256Stream::Sha256Stream() : state_(EVP_MD_CTX_new()) {
    if (state_ == nullptr) throw std::bad_alloc();
    Reset();
}

Sha256Stream::~Sha256Stream() { EVP_MD_CTX_free(Context(state_)); }

void Sha256Stream::Reset() { EVP_DigestInit_ex(Context(state_), EVP_sha256(), nullptr); }

void Sha256Stream::Update(const void* data, size_t size) {
    EVP_DigestUpdate(Context(state_), data, size);
}

Sha256Digest Sha256Stream::Finish() {
    Sha256Digest digest;
    unsigned int length = 0;
    EVP_DigestFinal_ex(Context(state_), digest.data(), &length);
    Reset();
    return digest;
}

}  // namespace korvun
