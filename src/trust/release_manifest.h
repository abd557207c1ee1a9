// The signed release manifest: size and SHA-256 of every file a client fetches, with the
// release's serial number and expiry time in the signature's trusted comment.
//
// The manifest is text that `sha256sum -c` reads from the server root (it skips lines that
// start with "#"); each file takes two lines, its size first:
//
//   #size 1234 patch/patch/pk0002.patch
//   3f2a...(64 hex digits)  patch/patch/pk0002.patch
//
// The trusted comment reads "korvun release serial:N expires:T" (T in seconds since 1970,
// UTC). The serial grows with every signing, so a client can refuse a release older than one
// it accepted before; the expiry bounds how long an old release can be replayed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trust/minisign.h"
#include "trust/sha256_stream.h"

namespace korvun {

// Where a server publishes them, relative to its root.
constexpr const char* kManifestPath = "patch/release.manifest";
constexpr const char* kManifestSignaturePath = "patch/release.manifest.minisig";
// Neither file is anywhere near this; a server that sends more is not read further.
constexpr uint64_t kMaxManifestBytes = 1 << 20;

struct ManifestEntry {
    std::string path;  // relative to the server root, "/" separated
    uint64_t size = 0;
    Sha256Digest sha256{};
};

struct ReleaseStamp {
    uint64_t serial = 0;
    int64_t expires = 0;
};

std::string FormatManifest(const std::vector<ManifestEntry>& entries);
std::optional<std::vector<ManifestEntry>> ParseManifest(std::string_view text, std::string* error);
const ManifestEntry* FindEntry(const std::vector<ManifestEntry>& entries, std::string_view path);

std::string FormatReleaseStamp(const ReleaseStamp& stamp);
std::optional<ReleaseStamp> ParseReleaseStamp(std::string_view trustedComment);

enum class ReleaseCheck {
    Valid,
    Unreadable,    // the signature file or the signed text is not in its format
    OtherKey,      // signed, but not with the key given
    BadSignature,  // the manifest or the trusted comment was changed after signing
    Expired,
    Rollback,  // a serial below the lowest one still accepted
};

struct VerifiedRelease {
    ReleaseCheck status = ReleaseCheck::Unreadable;
    ReleaseStamp stamp;
    std::vector<ManifestEntry> entries;
    std::string detail;  // for the operator: why it was refused
};

// The checks of VerifyRelease short of reading the text as a release manifest (entries stay
// empty): other signed texts of a server follow the same serial and expiry rules.
VerifiedRelease VerifyStampedText(const MinisignPublicKey& key, std::string_view text,
                                  std::string_view signatureFile, int64_t now,
                                  uint64_t lowestSerial);

// Checks in this order: signature format, key, signature, stamp, expiry (expires <= now is
// expired), serial (below lowestSerial is a rollback), manifest format.
VerifiedRelease VerifyRelease(const MinisignPublicKey& key, std::string_view manifest,
                              std::string_view signatureFile, int64_t now, uint64_t lowestSerial);

}  // namespace korvun
