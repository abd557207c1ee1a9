#include "store/content_manifest.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <set>

namespace korvun {

namespace {

bool Refuse(std::string* error, size_t line, const std::string& why) {
    if (error) *error = "line " + std::to_string(line) + ": " + why;
    return false;
}

template <typename Number>
std::optional<Number> ParseNumber(std::string_view text, int base = 10) {
    Number value = 0;
    auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || failure != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// The next space-separated field of line; the line keeps what follows the space.
std::string_view TakeField(std::string_view& line) {
    size_t space = line.find(' ');
    std::string_view field = line.substr(0, space);
    line.remove_prefix(space == std::string_view::npos ? line.size() : space + 1);
    return field;
}

std::string Hex32(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08" PRIx32, value);
    return text;
}

std::string HexBytes(const uint8_t* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 15]);
    }
    return text;
}

bool ParseHexBytes(std::string_view text, uint8_t* bytes, size_t size) {
    if (text.size() != size * 2) return false;
    for (size_t i = 0; i < size; ++i) {
        std::optional<uint8_t> value = ParseNumber<uint8_t>(text.substr(i * 2, 2), 16);
        if (!value) return false;
        bytes[i] = *value;
    }
    return true;
}

// A path a client may be asked to write: relative, no empty, "." or ".." component, and for a
// loose file no '\\' or ':' (which Windows would take as a folder or a drive), so that no
// manifest, however it was signed, reaches outside the client's folder.
bool IsContainedPath(std::string_view path, bool loose) {
    if (path.empty() || path.find('\0') != std::string_view::npos) return false;
    if (loose && path.find_first_of("\\:") != std::string_view::npos) return false;
    const char separator = loose ? '/' : '\\';
    for (size_t start = 0;;) {
        size_t end = path.find(separator, start);
        std::string_view part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (end == std::string_view::npos) return true;
        start = end + 1;
    }
}

class ManifestParser {
  public:
    explicit ManifestParser(std::string* error) : error_(error) {}

    bool Line(std::string_view line, size_t number) {
        number_ = number;
        std::string_view record = TakeField(line);
        if (record == "version") return Version(line);
        if (record == "ini") return Ini(line);
        if (record == "archive") return Archive(line);
        if (record == "file" || record == "entry") return Item(record == "file", line);
        if (record == "part") return Part(line);
        return Fail("unknown record \"" + std::string(record) + "\"");
    }

    bool Finish() {
        if (!CloseItem()) return false;
        if (manifest_.version == 0) return Fail("no version record");
        return true;
    }

    ContentManifest& Result() { return manifest_; }

  private:
    bool Fail(const std::string& why) { return Refuse(error_, number_, why); }

    bool Version(std::string_view line) {
        std::optional<uint32_t> version = ParseNumber<uint32_t>(line);
        if (!version || *version == 0 || manifest_.version != 0) {
            return Fail("one version record with a positive number");
        }
        manifest_.version = *version;
        return true;
    }

    bool Ini(std::string_view line) {
        std::string_view key = TakeField(line);
        if (key.empty()) return Fail("an ini record needs a key");
        manifest_.versionFields.emplace_back(std::string(key), std::string(line));
        return true;
    }

    bool Archive(std::string_view line) {
        std::optional<uint32_t> word = ParseNumber<uint32_t>(TakeField(line), 16);
        if (!word ||
            !ParseHexBytes(line, manifest_.headerBlock.data(), manifest_.headerBlock.size())) {
            return Fail("an archive record reads \"archive WORD BLOCK\" in hexadecimal");
        }
        manifest_.headerWord = *word;
        return true;
    }

    bool Item(bool loose, std::string_view line) {
        if (!CloseItem()) return false;
        ContentItem item;
        item.kind = loose ? ContentItem::Kind::LooseFile : ContentItem::Kind::ArchiveEntry;
        std::optional<uint64_t> size = ParseNumber<uint64_t>(TakeField(line));
        std::optional<Sha256Digest> digest = ParseHexDigest(TakeField(line));
        std::string_view attribute = TakeField(line);
        std::optional<uint32_t> extra = ParseNumber<uint32_t>(attribute, 16);
        bool attributeOk = loose ? (attribute == "r" || attribute == "-") : extra.has_value();
        if (!size || !digest || !attributeOk || line.empty()) {
            return Fail("an item reads \"file|entry SIZE SHA256 ATTRIBUTE PATH\"");
        }
        if (!loose && *size > UINT32_MAX) return Fail("an archive entry above 4 GiB");
        if (!IsContainedPath(line, loose)) {
            return Fail("\"" + std::string(line) + "\" is not a path inside the client");
        }
        item.size = *size;
        item.sha256 = *digest;
        item.readOnly = attribute == "r";
        item.extraWord = loose ? 0 : *extra;
        item.path = std::string(line);
        std::string key = std::string(loose ? "f" : "e") + item.path;
        if (!seen_.insert(key).second) return Fail(item.path + " is listed twice");
        manifest_.items.push_back(std::move(item));
        open_ = true;
        return true;
    }

    bool Part(std::string_view line) {
        if (!open_) return Fail("a part before any item");
        std::optional<Sha256Digest> blob = ParseHexDigest(TakeField(line));
        std::optional<uint64_t> offset = ParseNumber<uint64_t>(TakeField(line));
        std::optional<uint64_t> length = ParseNumber<uint64_t>(line);
        if (!blob || !offset || !length || *length == 0 || *offset > kContentPieceSize ||
            *length > kContentPieceSize - *offset) {
            return Fail("a part reads \"part BLOB OFFSET LENGTH\" within one blob");
        }
        manifest_.items.back().parts.push_back({*blob, *offset, *length});
        return true;
    }

    // The parts of the item before must cover it exactly.
    bool CloseItem() {
        if (!open_) return true;
        open_ = false;
        const ContentItem& item = manifest_.items.back();
        uint64_t covered = 0;
        for (const ContentPart& part : item.parts) covered += part.length;
        if (covered != item.size) return Fail("the parts of " + item.path + " miss its size");
        return true;
    }

    std::string* error_;
    size_t number_ = 0;
    bool open_ = false;
    std::set<std::string> seen_;
    ContentManifest manifest_;
};

}  // namespace

std::string ContentManifestPath(uint32_t version) {
    return std::string(kContentDirectory) + "/release-" + std::to_string(version) + ".manifest";
}

std::string ContentSignaturePath(uint32_t version) {
    return ContentManifestPath(version) + ".minisig";
}

std::string BlobPath(const Sha256Digest& blob) {
    std::string hex = HexDigest(blob);
    return std::string(kContentDirectory) + "/blobs/" + hex.substr(0, 2) + "/" + hex + ".zst";
}

std::string FormatContentManifest(const ContentManifest& manifest) {
    std::string text = "# Korvun content manifest: a whole client of one release\n";
    text += "version " + std::to_string(manifest.version) + "\n";
    for (const auto& [key, value] : manifest.versionFields)
        text += "ini " + key + " " + value + "\n";
    text += "archive " + Hex32(manifest.headerWord) + " " +
            HexBytes(manifest.headerBlock.data(), manifest.headerBlock.size()) + "\n";
    for (const ContentItem& item : manifest.items) {
        bool loose = item.kind == ContentItem::Kind::LooseFile;
        text += std::string(loose ? "file " : "entry ") + std::to_string(item.size) + " " +
                HexDigest(item.sha256) + " " +
                (loose ? std::string(item.readOnly ? "r" : "-") : Hex32(item.extraWord)) + " " +
                item.path + "\n";
        for (const ContentPart& part : item.parts) {
            text += "part " + HexDigest(part.blob) + " " + std::to_string(part.offset) + " " +
                    std::to_string(part.length) + "\n";
        }
    }
    return text;
}

std::optional<ContentManifest> ParseContentManifest(std::string_view text, std::string* error) {
    ManifestParser parser(error);
    size_t number = 0;
    while (!text.empty()) {
        ++number;
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line[0] == '#') continue;
        if (!parser.Line(line, number)) return std::nullopt;
    }
    if (!parser.Finish()) return std::nullopt;
    return std::move(parser.Result());
}

VerifiedContent VerifyContentManifest(const MinisignPublicKey& key, std::string_view text,
                                      std::string_view signatureFile, int64_t now,
                                      uint64_t lowestSerial, uint32_t version) {
    VerifiedContent result;
    VerifiedRelease signature = VerifyStampedText(key, text, signatureFile, now, lowestSerial);
    result.status = signature.status;
    result.stamp = signature.stamp;
    result.detail = signature.detail;
    if (result.status != ReleaseCheck::Valid) return result;
    result.status = ReleaseCheck::Unreadable;
    std::optional<ContentManifest> manifest = ParseContentManifest(text, &result.detail);
    if (!manifest) return result;
    if (manifest->version != version) {
        result.detail = "the manifest describes version " + std::to_string(manifest->version) +
                        ", not " + std::to_string(version);
        return result;
    }
    result.manifest = std::move(*manifest);
    result.status = ReleaseCheck::Valid;
    return result;
}

}  // namespace korvun
