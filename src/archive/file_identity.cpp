#include "archive/file_identity.h"

#include <stdexcept>
#include <vector>

#include "platform/file_io.h"

namespace korvun {

ContentHash::ContentHash() {
    // Safe to call again and from any thread; it only picks the fastest implementation.
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
    crypto_generichash_init(&state_, nullptr, 0, FileIdentity::kDigestBytes);
}

void ContentHash::Add(const void* data, size_t size) {
    crypto_generichash_update(&state_, static_cast<const unsigned char*>(data), size);
    length_ += size;
}

FileIdentity ContentHash::Finish() {
    FileIdentity identity;
    identity.length = length_;
    crypto_generichash_final(&state_, identity.digest.data(), identity.digest.size());
    return identity;
}

std::optional<FileIdentity> IdentifyFile(const std::string& path) {
    FileHandle file = OpenFile(path, OpenMode::ReadOnly);
    if (!file.IsOpen()) return std::nullopt;
    ContentHash hash;
    std::vector<uint8_t> buffer(1 << 20);
    int64_t got;
    while ((got = ReadSome(file.Get(), buffer.data(), buffer.size())) > 0) {
        hash.Add(buffer.data(), static_cast<size_t>(got));
    }
    if (got < 0) return std::nullopt;
    return hash.Finish();
}

}  // namespace korvun
