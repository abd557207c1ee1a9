// The signed description of a whole client of one release, published beside the packages so
// that a client can be checked and mended without installing it again: every loose file
// and every entry of the data archive with its size and SHA-256, where its bytes lie in the
// store's blobs, the archive's header values and the fields of Version.ini.
//
// Text, one record per line; a path is the rest of its line, so it may hold spaces:
//
//   version 7
//   ini CheckVersion 3
//   archive 0000002a 00..(80 hex digits, the header block)
//   file SIZE SHA256 ATTR PATH      ATTR "r" read-only, "-" writable; PATH '/'-separated
//   part BLOB OFFSET LENGTH         the item's next bytes: LENGTH bytes at OFFSET of BLOB
//   entry SIZE SHA256 EXTRA PATH    EXTRA the entry's extra word (8 hex digits); '\' in PATH
//
// A blob is named by the SHA-256 of its uncompressed bytes. Large items are cut into pieces
// of their own blob; small ones share a blob, so that mending many small entries takes few
// requests. The signature is minisign's, with the release manifest's serial and expiry in
// its trusted comment.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive/game_archive.h"
#include "trust/release_manifest.h"

namespace korvun {

// Under the server root.
constexpr const char* kContentDirectory = "patch/content";
// Pieces of large items, and the most that small items packed into one blob hold.
constexpr uint64_t kContentPieceSize = 1 << 20;
// A manifest of a client with a hundred thousand entries stays well below this.
constexpr uint64_t kMaxContentManifestBytes = 64ull << 20;

// Server-root-relative paths of what the store holds.
std::string ContentManifestPath(uint32_t version);
std::string ContentSignaturePath(uint32_t version);
std::string BlobPath(const Sha256Digest& blob);
// The newest stored version, as text; a hint only: the manifest it names says its version.
constexpr const char* kLatestContentPath = "patch/content/latest";

struct ContentPart {
    Sha256Digest blob{};
    uint64_t offset = 0;
    uint64_t length = 0;
};

struct ContentItem {
    enum class Kind { LooseFile, ArchiveEntry };
    Kind kind = Kind::LooseFile;
    std::string path;
    uint64_t size = 0;
    Sha256Digest sha256{};
    bool readOnly = false;   // loose files
    uint32_t extraWord = 0;  // archive entries
    std::vector<ContentPart> parts;
};

struct ContentManifest {
    uint32_t version = 0;
    std::vector<std::pair<std::string, std::string>> versionFields;  // of Version.ini, in order
    uint32_t headerWord = 0;
    std::array<uint8_t, ArchiveIndex::kHeaderBlockSize> headerBlock{};
    std::vector<ContentItem> items;
};

std::string FormatContentManifest(const ContentManifest& manifest);
// Refuses (nullopt, the line and the reason in error) what does not hold together: unknown
// records, parts that do not add up to their item's size, a path listed twice.
std::optional<ContentManifest> ParseContentManifest(std::string_view text, std::string* error);

struct VerifiedContent {
    ReleaseCheck status = ReleaseCheck::Unreadable;
    ReleaseStamp stamp;
    ContentManifest manifest;
    std::string detail;
    // Both files came from the server: a refusal is the store's, not a missing store.
    bool fetched = false;
};

// The release manifest's checks, then the text's format and its version (a manifest that
// names another version than the one asked for is refused as unreadable).
VerifiedContent VerifyContentManifest(const MinisignPublicKey& key, std::string_view text,
                                      std::string_view signatureFile, int64_t now,
                                      uint64_t lowestSerial, uint32_t version);

}  // namespace korvun
