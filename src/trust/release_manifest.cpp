#include "trust/release_manifest.h"

#include <charconv>
#include <set>

namespace korvun {

namespace {

constexpr std::string_view kSizePrefix = "#size ";
constexpr std::string_view kStampPrefix = "korvun release ";

std::optional<uint64_t> ParseNumber(std::string_view text) {
    uint64_t value = 0;
    auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (failure != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

bool Refuse(std::string* error, size_t lineNumber, const std::string& why) {
    if (error) *error = "line " + std::to_string(lineNumber) + ": " + why;
    return false;
}

struct PendingSize {
    std::string path;
    uint64_t size = 0;
};

// "#size N PATH": the size of the file whose hash line follows.
bool ParseSizeLine(std::string_view line, size_t number, std::optional<PendingSize>& pending,
                   std::string* error) {
    if (pending) return Refuse(error, number, "a size line without its hash line before it");
    line.remove_prefix(kSizePrefix.size());
    size_t space = line.find(' ');
    std::optional<uint64_t> size = ParseNumber(line.substr(0, space));
    if (!size || space == std::string_view::npos || space + 1 == line.size()) {
        return Refuse(error, number, "a size line must read \"#size BYTES PATH\"");
    }
    pending = PendingSize{std::string(line.substr(space + 1)), *size};
    return true;
}

// "HASH  PATH" (or "HASH *PATH"), as sha256sum writes it.
bool ParseHashLine(std::string_view line, size_t number, std::optional<PendingSize>& pending,
                   std::vector<ManifestEntry>& entries, std::set<std::string>& seen,
                   std::string* error) {
    std::optional<Sha256Digest> digest = ParseHexDigest(line.substr(0, 64));
    if (!digest || line.size() < 67 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*')) {
        return Refuse(error, number, "not a sha256sum line (64 hex digits, two characters, path)");
    }
    std::string path(line.substr(66));
    if (!pending || pending->path != path) {
        return Refuse(error, number, path + " has no size line right before it");
    }
    if (!seen.insert(path).second) return Refuse(error, number, path + " is listed twice");
    entries.push_back(ManifestEntry{path, pending->size, *digest});
    pending.reset();
    return true;
}

}  // namespace

std::string FormatManifest(const std::vector<ManifestEntry>& entries) {
    std::string text =
        "# Korvun release manifest. Check the files from the server root with\n"
        "#   sha256sum -c patch/release.manifest\n";
    for (const ManifestEntry& entry : entries) {
        text += std::string(kSizePrefix) + std::to_string(entry.size) + " " + entry.path + "\n";
        text += HexDigest(entry.sha256) + "  " + entry.path + "\n";
    }
    return text;
}

std::optional<std::vector<ManifestEntry>> ParseManifest(std::string_view text, std::string* error) {
    std::vector<ManifestEntry> entries;
    std::set<std::string> seen;
    std::optional<PendingSize> pending;
    size_t number = 0;
    while (!text.empty()) {
        ++number;
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        bool ok = true;
        if (line.substr(0, kSizePrefix.size()) == kSizePrefix) {
            ok = ParseSizeLine(line, number, pending, error);
        } else if (!line.empty() && line[0] != '#') {
            ok = ParseHashLine(line, number, pending, entries, seen, error);
        }
        if (!ok) return std::nullopt;
    }
    if (pending) {
        Refuse(error, number, pending->path + " has a size but no hash line");
        return std::nullopt;
    }
    return entries;
}

const ManifestEntry* FindEntry(const std::vector<ManifestEntry>& entries, std::string_view path) {
    for (const ManifestEntry& entry : entries) {
        if (entry.path == path) return &entry;
    }
    return nullptr;
}

std::string FormatReleaseStamp(const ReleaseStamp& stamp) {
    return std::string(kStampPrefix) + "serial:" + std::to_string(stamp.serial) +
           " expires:" + std::to_string(stamp.expires);
}

std::optional<ReleaseStamp> ParseReleaseStamp(std::string_view comment) {
    if (comment.substr(0, kStampPrefix.size()) != kStampPrefix) return std::nullopt;
    comment.remove_prefix(kStampPrefix.size());
    std::optional<uint64_t> serial, expires;
    while (!comment.empty()) {
        size_t end = comment.find(' ');
        std::string_view field = comment.substr(0, end);
        comment.remove_prefix(end == std::string_view::npos ? comment.size() : end + 1);
        if (field.substr(0, 7) == "serial:") {
            if (serial) return std::nullopt;
            serial = ParseNumber(field.substr(7));
            if (!serial) return std::nullopt;
        } else if (field.substr(0, 8) == "expires:") {
            if (expires) return std::nullopt;
            expires = ParseNumber(field.substr(8));
            if (!expires || *expires > INT64_MAX) return std::nullopt;
        }
    }
    if (!serial || !expires) return std::nullopt;
    return ReleaseStamp{*serial, static_cast<int64_t>(*expires)};
}

VerifiedRelease VerifyStampedText(const MinisignPublicKey& key, std::string_view manifest,
                                  std::string_view signatureFile, int64_t now,
                                  uint64_t lowestSerial) {
    VerifiedRelease result;
    std::optional<MinisignSignature> signature = ParseSignature(signatureFile, &result.detail);
    if (!signature) return result;
    switch (VerifyMessage(key, *signature, manifest)) {
        case SignatureCheck::OtherKey:
            result.status = ReleaseCheck::OtherKey;
            result.detail = "signed with key " + KeyIdText(signature->keyId) + ", not with " +
                            KeyIdText(key.keyId);
            return result;
        case SignatureCheck::Invalid:
            result.status = ReleaseCheck::BadSignature;
            result.detail = "the signature does not match the manifest and its trusted comment";
            return result;
        case SignatureCheck::Valid:
            break;
    }
    std::optional<ReleaseStamp> stamp = ParseReleaseStamp(signature->trustedComment);
    if (!stamp) {
        result.detail =
            "the trusted comment has no serial and expiry: \"" + signature->trustedComment + "\"";
        return result;
    }
    result.stamp = *stamp;
    if (stamp->expires <= now) {
        result.status = ReleaseCheck::Expired;
        result.detail = "the release expired at " + std::to_string(stamp->expires);
        return result;
    }
    if (stamp->serial < lowestSerial) {
        result.status = ReleaseCheck::Rollback;
        result.detail = "serial " + std::to_string(stamp->serial) + " is older than " +
                        std::to_string(lowestSerial);
        return result;
    }
    result.status = ReleaseCheck::Valid;
    return result;
}

VerifiedRelease VerifyRelease(const MinisignPublicKey& key, std::string_view manifest,
                              std::string_view signatureFile, int64_t now, uint64_t lowestSerial) {
    VerifiedRelease result = VerifyStampedText(key, manifest, signatureFile, now, lowestSerial);
    if (result.status != ReleaseCheck::Valid) return result;
    result.status = ReleaseCheck::Unreadable;
    std::optional<std::vector<ManifestEntry>> entries = ParseManifest(manifest, &result.detail);
    if (!entries) return result;
    result.entries = std::move(*entries);
    result.status = ReleaseCheck::Valid;
    return result;
}

}  // namespace korvun
