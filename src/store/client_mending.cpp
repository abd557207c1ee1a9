#include "store/client_mending.h"

#include <cctype>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "archive/game_archive.h"
#include "platform/directories.h"
#include "platform/file_attributes.h"
#include "platform/file_io.h"
#include "platform/profile.h"
#include "store/blob_codec.h"
#include "update/version_file.h"

namespace korvun {

namespace {

constexpr const char* kStagingSuffix = ".korvun-repair";

// Blobs of the last few items: neighbours in the manifest share packed blobs.
class BlobCache {
  public:
    explicit BlobCache(StoreFetcher& fetcher) : fetcher_(fetcher) {}

    const std::string* Get(const Sha256Digest& blob, std::string& error) {
        auto found = blobs_.find(blob);
        if (found != blobs_.end()) return &found->second;
        std::optional<std::string> bytes = fetcher_.FetchBlob(blob, error);
        if (!bytes) return nullptr;
        if (blobs_.size() >= kKept) blobs_.erase(blobs_.begin());
        return &blobs_.emplace(blob, std::move(*bytes)).first->second;
    }

  private:
    static constexpr size_t kKept = 4;
    StoreFetcher& fetcher_;
    std::map<Sha256Digest, std::string> blobs_;
};

// Reads bytes of what the client holds now at an item's offset; false when it cannot.
using PresentBytes = std::function<bool(uint64_t offset, char* buffer, size_t size)>;

// The bytes of one part: those the client holds already when they are the piece the part
// names (a piece's blob is exactly its bytes), so that a few damaged bytes in a large file
// cost one piece; otherwise from its blob.
const char* PartBytes(const ContentPart& part, uint64_t itemOffset, const PresentBytes& present,
                      std::string& scratch, BlobCache& blobs, std::string& error) {
    if (present && part.offset == 0) {
        scratch.resize(static_cast<size_t>(part.length));
        if (present(itemOffset, scratch.data(), scratch.size()) && DigestOf(scratch) == part.blob) {
            return scratch.data();
        }
    }
    const std::string* blob = blobs.Get(part.blob, error);
    if (!blob) return nullptr;
    if (part.offset > blob->size() || part.length > blob->size() - part.offset) {
        error = "a part lies beyond its blob";
        return nullptr;
    }
    return blob->data() + part.offset;
}

// Writes an item's bytes to fd; false with error when a blob cannot be had or the item's
// bytes are not what the manifest says.
bool WriteItem(const ContentItem& item, int fd, const PresentBytes& present, BlobCache& blobs,
               ProgressSink* progress, std::string& error) {
    Sha256Stream digest;
    std::string scratch;
    uint64_t itemOffset = 0;
    for (const ContentPart& part : item.parts) {
        const char* bytes = PartBytes(part, itemOffset, present, scratch, blobs, error);
        if (!bytes) {
            error = item.path + ": " + error;
            return false;
        }
        digest.Update(bytes, static_cast<size_t>(part.length));
        if (!WriteFull(fd, bytes, static_cast<size_t>(part.length))) {
            error = std::string("cannot write: ") + std::strerror(errno);
            return false;
        }
        itemOffset += part.length;
        if (progress) progress->Advance(part.length);
    }
    if (digest.Finish() != item.sha256) {
        error = item.path + ": the store's bytes do not have the SHA-256 of the manifest";
        return false;
    }
    return true;
}

PresentBytes ReaderOf(const FileHandle& file) {
    if (!file.IsOpen()) return {};
    return [&file](uint64_t offset, char* buffer, size_t size) {
        return ReadAt(file.Get(), buffer, size, offset);
    };
}

void MakeParentDirectories(const ClientDirectory& client, const std::string& path) {
    for (size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        MakeDirectory(client.Path(path.substr(0, slash)));
    }
}

// The update archive the merge takes in, written with the archive's own index code.
class UpdateArchiveWriter {
  public:
    UpdateArchiveWriter(const ClientDirectory& client, const ContentManifest& manifest)
        : client_(client) {
        index_.headerBlock = manifest.headerBlock;
        index_.headerWord = manifest.headerWord;
    }

    bool Open(std::string& error) {
        data_ = OpenFile(client_.Path("update.kaf"), OpenMode::WriteCreateTruncate);
        if (!data_.IsOpen())
            error = "cannot create update.kaf: " + std::string(std::strerror(errno));
        return data_.IsOpen();
    }

    bool Add(const ContentItem& item, const PresentBytes& present, BlobCache& blobs,
             ProgressSink* progress, std::string& error) {
        uint64_t start = offset_;
        if (!WriteItem(item, data_.Get(), present, blobs, progress, error)) return false;
        const char terminator = 0;
        if (!WriteFull(data_.Get(), &terminator, 1)) {
            error = "cannot write update.kaf";
            return false;
        }
        offset_ += item.size + 1;
        size_t slash = item.path.rfind('\\');
        std::string name = slash == std::string::npos ? item.path : item.path.substr(slash + 1);
        GameArchive::InsertEntry(
            index_.root, item.path,
            ArchiveEntry{name, start, static_cast<uint32_t>(item.size), item.extraWord});
        ++index_.fileCount;
        return true;
    }

    bool Finish(std::string& error) {
        if (!SyncFile(data_.Get()) || !data_.Close() ||
            !GameArchive::SaveIndexFile(client_.Path("update.kah"), index_)) {
            error = "cannot write update.kah/update.kaf";
            return false;
        }
        return true;
    }

    int32_t Count() const { return index_.fileCount; }

  private:
    const ClientDirectory& client_;
    ArchiveIndex index_;
    FileHandle data_;
    uint64_t offset_ = 0;
};

// An archive whose index cannot be read, or whose data file is gone, starts again empty with
// the release's header; the merge then brings every entry.
bool StartEmptyArchive(const ClientDirectory& client, const ContentManifest& manifest) {
    ArchiveIndex empty;
    empty.headerBlock = manifest.headerBlock;
    empty.headerWord = manifest.headerWord;
    FileHandle data = OpenFile(client.Path("data.kaf"), OpenMode::WriteCreateTruncate);
    return data.IsOpen() && data.Close() &&
           GameArchive::SaveIndexFile(client.Path("data.kah"), empty);
}

void DropStaging(const ClientDirectory& client, const std::vector<const ContentItem*>& loose) {
    for (const ContentItem* item : loose) DeleteFile(client.Path(item->path + kStagingSuffix));
    DeleteFile(client.Path("update.kah"));
    DeleteFile(client.Path("update.kaf"));
}

struct MendPlan {
    std::vector<const ContentItem*> loose;
    std::vector<std::pair<const ContentItem*, std::optional<uint64_t>>> entries;
    bool freshArchive = false;
    bool versionFields = false;
};

MendPlan PlanMending(const ClientDirectory& client, const ContentManifest& manifest,
                     const ContentCheckResult& check) {
    MendPlan plan;
    plan.freshArchive = !check.archiveReadable || !FileExists(client.Path("data.kaf"));
    for (const ContentDifference& difference : check.differences) {
        if (difference.kind == ContentDifference::Kind::Extra) continue;
        if (!difference.item) {
            plan.versionFields = true;  // a field of Version.ini, or the archive's header
        } else if (difference.item->kind == ContentItem::Kind::LooseFile) {
            plan.loose.push_back(difference.item);
        } else if (!plan.freshArchive) {
            plan.entries.emplace_back(difference.item, difference.presentOffset);
        }
    }
    if (plan.freshArchive) {
        for (const ContentItem& item : manifest.items) {
            if (item.kind == ContentItem::Kind::ArchiveEntry) {
                plan.entries.emplace_back(&item, std::nullopt);
            }
        }
    }
    return plan;
}

bool MergeEntries(const ClientDirectory& client, const ContentManifest& manifest, bool fresh,
                  std::string& error) {
    if (fresh && !StartEmptyArchive(client, manifest)) {
        error = "cannot start data.kah/data.kaf again";
        return false;
    }
    VersionFileMarkers markers(client);
    MergeResult merged = GameArchive(client, markers).MergeUpdateArchive();
    if (!merged) {
        RecoverInterruptedChange(client);
        error = "the archive merge failed: " + merged.reason;
        return false;
    }
    return true;
}

}  // namespace

void RecoverInterruptedChange(const ClientDirectory& client) {
    JournalRecovery found = RecoverFromJournal(client.Path(GameArchive::kJournalName),
                                               client.Path("data.kah"), client.Path("data.kaf"));
    if (found != JournalRecovery::RolledBack && found != JournalRecovery::Committed) return;
    VersionFileMarkers markers(client);
    if (markers.ClearStateMarker()) RemoveJournal(client.Path(GameArchive::kJournalName));
}

void RemoveLeftovers(const ClientDirectory& client, const ContentManifest& manifest) {
    for (const ContentItem& item : manifest.items) {
        if (item.kind == ContentItem::Kind::LooseFile) {
            DeleteFile(client.Path(item.path + kStagingSuffix));
        }
    }
    for (const std::string& name : DirectoryNames(client.Root())) {
        std::string folded = name;
        for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (folded.rfind("version.ini.tmp", 0) == 0 || folded.rfind("data.kah.tmp", 0) == 0) {
            DeleteFile(client.Path(name));
        }
    }
    std::string marker = ReadStateMarker(client);
    if (marker != "EXTRACT_END") {
        for (const char* name : {"update.kah", "update.kaf", "update.log"}) {
            DeleteFile(client.Path(name));
        }
    }
}

MendResult MendClient(const ClientDirectory& client, const ContentManifest& manifest,
                      const ContentCheckResult& check, StoreFetcher& fetcher,
                      ProgressSink* progress) {
    MendResult result;
    MendPlan plan = PlanMending(client, manifest, check);
    uint64_t total = 0;
    for (const ContentItem* item : plan.loose) total += item->size;
    for (const auto& [item, offset] : plan.entries) total += item->size;
    if (progress) progress->Begin(total);

    // Everything is fetched and checked into staging files first.
    BlobCache blobs(fetcher);
    UpdateArchiveWriter update(client, manifest);
    bool staged = plan.entries.empty() || update.Open(result.error);
    for (size_t i = 0; staged && i < plan.loose.size(); ++i) {
        const ContentItem& item = *plan.loose[i];
        MakeParentDirectories(client, item.path);
        FileHandle old = OpenFile(client.Path(item.path), OpenMode::ReadOnly);
        FileHandle file =
            OpenFile(client.Path(item.path + kStagingSuffix), OpenMode::WriteCreateTruncate);
        staged = file.IsOpen() &&
                 WriteItem(item, file.Get(), ReaderOf(old), blobs, progress, result.error) &&
                 SyncFile(file.Get()) && file.Close();
        if (!staged && result.error.empty()) result.error = "cannot write " + item.path;
    }
    FileHandle data = OpenFile(client.Path("data.kaf"), OpenMode::ReadOnly);
    for (size_t i = 0; staged && i < plan.entries.size(); ++i) {
        const auto& [item, offset] = plan.entries[i];
        PresentBytes present;
        if (offset && data.IsOpen()) {
            present = [&data, at = *offset](uint64_t o, char* buffer, size_t size) {
                return ReadAt(data.Get(), buffer, size, at + o);
            };
        }
        staged = update.Add(*item, present, blobs, progress, result.error);
    }
    data.Reset();
    staged = staged && (plan.entries.empty() || update.Finish(result.error));
    if (staged && progress && !progress->Advance(0)) {
        staged = false;
        result.error = "stopped";
    }
    if (!staged) {
        DropStaging(client, plan.loose);
        return result;
    }

    for (const ContentItem* item : plan.loose) {
        std::string path = client.Path(item->path);
        if (!ReplaceFile(client.Path(item->path + kStagingSuffix), path)) {
            result.error = "cannot put " + item->path + " in place";
            return result;
        }
        ApplyFileAttributes(path, item->readOnly ? kAttributeReadOnly : 0, 0);
        ++result.looseWritten;
    }
    if (!plan.entries.empty() && !MergeEntries(client, manifest, plan.freshArchive, result.error)) {
        return result;
    }
    result.entriesWritten = plan.entries.size();
    // Version.ini last, as an update writes it: a client that says it is at this version has
    // everything of it.
    for (const auto& [key, value] : manifest.versionFields) {
        if (!WriteProfileString("Version", key, value, client.Path(kLocalVersionFile))) {
            result.error = "cannot write Version.ini";
            return result;
        }
    }
    // The marker the merge left says a change of the archive ended; the repair as a whole
    // has ended now.
    VersionFileMarkers(client).ClearStateMarker();
    result.ok = true;
    return result;
}

}  // namespace korvun
