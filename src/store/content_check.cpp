#include "store/content_check.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "archive/game_archive.h"
#include "platform/directories.h"
#include "platform/file_io.h"
#include "platform/profile.h"

namespace korvun {

namespace {

// Large enough that the kernel's read-ahead keeps the disk busy while a block is hashed.
constexpr size_t kReadBlock = 4 << 20;
constexpr const char* kVersionFile = ".\\Version.ini";

std::string FoldAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// The data file read forward in large blocks, so that entries lying one after another cost
// one pass over the file however small they are.
class ForwardReader {
  public:
    explicit ForwardReader(const std::string& path)
        : file_(OpenNativeFile(path, OpenMode::ReadOnly)),
          end_(file_.IsOpen() ? OpenFileLength(file_.Get()).value_or(0) : 0),
          block_(std::make_unique<uint8_t[]>(kReadBlock)) {}

    // Hashes size bytes at offset; false when the file ends before them or a read fails.
    bool Hash(uint64_t offset, uint64_t size, Sha256Stream& stream, ProgressSink* progress,
              uint64_t& hashed) {
        if (offset > end_ || size > end_ - offset) return false;
        while (size > 0) {
            if (offset < start_ || offset >= start_ + filled_) {
                if (!Fill(offset)) return false;
            }
            size_t at = static_cast<size_t>(offset - start_);
            size_t n = static_cast<size_t>(std::min<uint64_t>(filled_ - at, size));
            stream.Update(block_.get() + at, n);
            offset += n;
            size -= n;
            hashed += n;
            if (progress) progress->Advance(n);
        }
        return true;
    }

  private:
    bool Fill(uint64_t offset) {
        start_ = offset;
        filled_ = static_cast<size_t>(std::min<uint64_t>(kReadBlock, end_ - offset));
        return ReadAt(file_.Get(), block_.get(), filled_, offset);
    }

    FileHandle file_;
    uint64_t end_;
    std::unique_ptr<uint8_t[]> block_;
    uint64_t start_ = 0;
    size_t filled_ = 0;
};

struct Checker {
    const ClientDirectory& client;
    const ContentManifest& manifest;
    ProgressSink* progress;
    ContentCheckResult result;

    void Add(ContentDifference::Kind kind, const ContentItem* item, std::string what,
             std::optional<uint64_t> presentOffset = std::nullopt) {
        result.differences.push_back({kind, item, std::move(what), presentOffset});
    }

    bool Stopped() {
        if (progress && !progress->Advance(0)) result.stopped = true;
        return result.stopped;
    }

    void CheckLoose(const ContentItem& item, std::vector<uint8_t>& block) {
        FileHandle file = OpenFile(client.Path(item.path), OpenMode::ReadOnly);
        if (!file.IsOpen())
            return Add(ContentDifference::Kind::Missing, &item, "missing file " + item.path);
        Sha256Stream stream;
        uint64_t total = 0;
        for (;;) {
            int64_t n = ReadSome(file.Get(), block.data(), block.size());
            if (n <= 0) {
                if (n < 0) total = UINT64_MAX;
                break;
            }
            stream.Update(block.data(), static_cast<size_t>(n));
            total += static_cast<uint64_t>(n);
            result.bytesHashed += static_cast<uint64_t>(n);
            if (progress) progress->Advance(static_cast<uint64_t>(n));
        }
        if (total != item.size || stream.Finish() != item.sha256) {
            Add(ContentDifference::Kind::Changed, &item, "changed file " + item.path);
        }
    }

    void CheckEntries(const std::vector<const ContentItem*>& entries) {
        std::string reason;
        std::optional<ArchiveIndex> index =
            GameArchive::ReadIndexFile(client.Path("data.kah"), &reason);
        result.archiveReadable = index.has_value();
        std::map<std::string, ArchiveEntry> present;
        if (index) Collect(index->root, "", present);
        if (index && (index->headerWord != manifest.headerWord ||
                      index->headerBlock != manifest.headerBlock)) {
            Add(ContentDifference::Kind::Changed, nullptr, "changed archive header");
        }
        // Hashed in the order the entries lie in data.kaf, so the file is read forward once.
        std::vector<std::pair<const ContentItem*, ArchiveEntry>> toHash;
        for (const ContentItem* item : entries) {
            auto found = present.find(FoldAscii(item->path));
            if (found == present.end()) {
                Add(ContentDifference::Kind::Missing, item, "missing entry " + item->path);
                continue;
            }
            if (found->second.size != item->size || found->second.extraWord != item->extraWord) {
                Add(ContentDifference::Kind::Changed, item, "changed entry " + item->path);
            } else {
                toHash.emplace_back(item, found->second);
            }
            present.erase(found);
        }
        for (const auto& [folded, entry] : present) {
            Add(ContentDifference::Kind::Extra, nullptr, "extra entry " + entry.name);
        }
        std::sort(toHash.begin(), toHash.end(),
                  [](const auto& a, const auto& b) { return a.second.offset < b.second.offset; });
        ForwardReader data(client.Path("data.kaf"));
        Sha256Stream stream;
        for (const auto& [item, entry] : toHash) {
            if (Stopped()) return;
            bool read = data.Hash(entry.offset, entry.size, stream, progress, result.bytesHashed);
            if (!read || stream.Finish() != item->sha256) {
                Add(ContentDifference::Kind::Changed, item, "changed entry " + item->path,
                    entry.offset);
            }
        }
    }

    // Paths keyed case-folded: the archive's names match without regard to ASCII case.
    void Collect(const ArchiveFolder& folder, const std::string& prefix,
                 std::map<std::string, ArchiveEntry>& present) {
        for (const ArchiveEntry& entry : folder.Files()) {
            ArchiveEntry named = entry;
            named.name = prefix + entry.name;
            present.emplace(FoldAscii(named.name), std::move(named));
        }
        for (const ArchiveFolder& sub : folder.Subfolders()) {
            Collect(sub, prefix + sub.name + "\\", present);
        }
    }

    void CheckVersionFields() {
        for (const auto& [key, value] : manifest.versionFields) {
            std::string have = ReadProfileString("Version", key, "", client.Path(kVersionFile));
            if (have != value) {
                Add(ContentDifference::Kind::Changed, nullptr, "changed Version.ini " + key);
            }
        }
    }

    void FindExtraFiles(const std::set<std::string>& listed, const std::string& relative) {
        std::string native = relative.empty() ? client.Root() : client.Path(relative);
        for (const std::string& name : DirectoryNames(native)) {
            std::string path = relative.empty() ? name : relative + "/" + name;
            if (NativePathKind(client.Path(path)) < 0) {
                FindExtraFiles(listed, path);
            } else if (!listed.contains(FoldAscii(path)) && !IsClientStateFile(path)) {
                Add(ContentDifference::Kind::Extra, nullptr, "extra file " + path);
            }
        }
    }
};

}  // namespace

bool IsClientStateFile(const std::string& relativePath) {
    static const std::set<std::string> kStateFiles = {
        "version.ini", "data.kah",          "data.kaf",   "data.kaf.journal", "updaterurl.txt",
        "config.ini",  "updateversion.ini", "update.kah", "update.kaf",       "delete.lst"};
    return kStateFiles.contains(FoldAscii(relativePath));
}

ContentCheckResult CheckClientContent(const ClientDirectory& client,
                                      const ContentManifest& manifest, ProgressSink* progress) {
    Checker checker{client, manifest, progress, {}};
    uint64_t total = 0;
    std::vector<const ContentItem*> entries;
    std::set<std::string> listed;
    for (const ContentItem& item : manifest.items) {
        total += item.size;
        if (item.kind == ContentItem::Kind::ArchiveEntry) {
            entries.push_back(&item);
        } else {
            listed.insert(FoldAscii(item.path));
        }
    }
    if (progress) progress->Begin(total);
    std::vector<uint8_t> block(kReadBlock);
    for (const ContentItem& item : manifest.items) {
        if (item.kind != ContentItem::Kind::LooseFile) continue;
        if (checker.Stopped()) return checker.result;
        checker.CheckLoose(item, block);
    }
    checker.CheckEntries(entries);
    if (checker.result.stopped) return checker.result;
    checker.CheckVersionFields();
    checker.FindExtraFiles(listed, "");
    return checker.result;
}

}  // namespace korvun
