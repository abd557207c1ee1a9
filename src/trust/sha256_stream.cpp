#include "trust/sha256_stream.h"

#include <vector>

#include "platform/file_io.h"

namespace korvun {

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
