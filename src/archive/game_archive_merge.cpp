// Merging an update archive into the game archive: placing and copying contents, and the
// merge sequence with its state markers and messages.
#include <fcntl.h>

#include <algorithm>
#include <cstring>

#include "app/messages.h"
#include "archive/game_archive.h"
#include "platform/file_io.h"

namespace korvun {

namespace {

constexpr char kSignature[3] = {'K', 'A', 'H'};
constexpr const char* kCannotFind = "Cannot find the file.";
constexpr const char* kCannotOpen = "Cannot open the file.";
constexpr const char* kUpdateError = "Update error";

// data.kah -> data.kaf, update.kah -> update.log
std::string WithLastCharacters(const std::string& path, const std::string& replacement) {
    return path.substr(0, path.size() - replacement.size()) + replacement;
}

}  // namespace

void GameArchive::Fail(const std::string& text, const char* code) {
    window_.ShowErrorText(ComposeMessage(text, code));
}

bool GameArchive::MergeUpdateArchive() {
    if (!FileExists("data.kah") || !FileExists("data.kaf")) {
        markers_.MarkUpdateStart();
        Fail(std::string("data ") + kCannotFind, "c39");
        return false;
    }
    if (!FileExists("update.kah") || !FileExists("update.kaf")) {
        Fail(std::string("update ") + kCannotFind, "c40");
        return false;
    }
    gameIndexPath_ = "data.kah";
    updateIndexPath_ = "update.kah";
    CloseFile(gameIndexFd_);
    gameIndexFd_ = OpenFile(gameIndexPath_, OpenMode::ReadOnly);
    if (gameIndexFd_ < 0) {
        Fail(gameIndexPath_ + " " + kCannotOpen, "c41");
        return false;
    }
    CloseFile(updateIndexFd_);
    updateIndexFd_ = OpenFile(updateIndexPath_, OpenMode::ReadOnly);
    if (updateIndexFd_ < 0) {
        Fail(updateIndexPath_ + " " + kCannotOpen, "c42");
        return false;
    }
    gameDataPath_ = WithLastCharacters(gameIndexPath_, "f");
    updateDataPath_ = WithLastCharacters(updateIndexPath_, "f");
    updateLogPath_ = WithLastCharacters(updateIndexPath_, "log");
    return Merge();
}

bool GameArchive::Merge() {
    loadError_.clear();
    loadNotes_.clear();

    IndexReader game(gameIndexFd_);
    char signature[sizeof kSignature];
    uint8_t discardedBlock[kHeaderBlockSize];
    uint32_t count;
    bool gameRead = game.Read(signature, sizeof signature) &&
                    std::memcmp(signature, kSignature, sizeof kSignature) == 0;
    // A malformed or truncated game index is refused like one with a wrong signature.
    gameRead = gameRead && game.ReadU32(gameHeaderWord_) && game.ReadU32(count) &&
               game.Read(discardedBlock, kHeaderBlockSize) && ReadFolder(game, gameRoot_) &&
               ReadFreeList(game);
    if (gameRead) {
        gameFileCount_ = static_cast<int32_t>(count);
        lostBytes_ = 0;
        gameRead = game.ReadU32(lostBytes_);
    }
    if (!gameRead) {
        Fail(std::string(kUpdateError) + ": data header file error", "c43");
        return false;
    }

    IndexReader update(updateIndexFd_);
    bool updateRead = update.Read(signature, sizeof signature) &&
                      std::memcmp(signature, kSignature, sizeof kSignature) == 0;
    updateRead = updateRead && update.ReadU32(updateHeaderWord_) && update.ReadU32(count) &&
                 update.Read(headerBlock_, kHeaderBlockSize) && ReadFolder(update, updateRoot_) &&
                 CheckUpdatePaths(updateRoot_, 0, 0, true);
    if (!updateRead) {
        Fail(std::string(kUpdateError) + ": update header file error", "c44");
        return false;
    }
    updateFileCount_ = static_cast<int32_t>(count);

    CollectUpdateFiles(updateRoot_, "");
    window_.FileGauge().SetRange(0, static_cast<uint64_t>(std::max(updateFileCount_, 0)));
    window_.FileGauge().SetPos(0);
    filesCopied_ = 0;
    if (!CopyPending()) {
        Fail(std::string(kUpdateError) + ": update fail", "c45");
        return false;
    }

    markers_.MarkUpdateStart();
    int32_t mergedCount = static_cast<int32_t>(static_cast<uint32_t>(gameFileCount_) +
                                               static_cast<uint32_t>(updateFileCount_));
    if (!SaveIndex(gameIndexPath_, updateHeaderWord_, mergedCount)) {
        Fail(std::string(kUpdateError) + ": saveheader", "c46");
        return false;
    }
    gameHeaderWord_ = updateHeaderWord_;
    gameFileCount_ = mergedCount;
    CloseFile(gameDataFd_);
    CloseFile(updateDataFd_);
    CloseFile(gameIndexFd_);
    CloseFile(updateIndexFd_);
    markers_.MarkUpdateEnd();
    DeleteFile(updateDataPath_);
    DeleteFile(updateIndexPath_);
    DeleteFile(updateLogPath_);
    return true;
}

bool GameArchive::CheckUpdatePaths(const ArchiveFolder& folder, size_t prefixBytes,
                                   size_t prefixSeparators, bool prefixEmpty) {
    // The path of an entry below this folder, as CollectUpdateFiles joins it.
    auto joined = [&](const std::string& name, size_t& bytes, size_t& separators) {
        size_t own = static_cast<size_t>(std::count(name.begin(), name.end(), '\\'));
        bytes = prefixEmpty ? name.size() : prefixBytes + 1 + name.size();
        separators = prefixEmpty ? own : prefixSeparators + 1 + own;
    };
    for (const ArchiveEntry& entry : folder.Files()) {
        size_t bytes, separators;
        joined(entry.name, bytes, separators);
        if (bytes > kMaxPathBytes || separators > kMaxFolderDepth) {
            loadError_ = "the path of update file \"" + entry.name + "\" is longer than " +
                         std::to_string(kMaxPathBytes) + " bytes or deeper than " +
                         std::to_string(kMaxFolderDepth) + " folders";
            return false;
        }
    }
    for (const ArchiveFolder& sub : folder.Subfolders()) {
        size_t bytes, separators;
        joined(sub.name, bytes, separators);
        if (!CheckUpdatePaths(sub, bytes, separators, prefixEmpty && sub.name.empty())) {
            return false;
        }
    }
    return true;
}

void GameArchive::CollectUpdateFiles(ArchiveFolder& folder, const std::string& prefix) {
    for (ArchiveEntry& entry : folder.TakeAllFiles()) {
        std::string path = prefix.empty() ? entry.name : prefix + "\\" + entry.name;
        RemoveEntry(path);
        pending_.push_back(PendingCopy{std::move(path), std::move(entry)});
    }
    for (ArchiveFolder& sub : folder.Subfolders()) {
        CollectUpdateFiles(sub, prefix.empty() ? sub.name : prefix + "\\" + sub.name);
    }
}

bool GameArchive::CopyPending() {
    while (!pending_.empty()) {
        PendingCopy& next = pending_.front();
        uint64_t offset;
        bool copied = TakeFreeSpace(next.entry.size, offset) ? CopyIntoFreeSpace(next.entry, offset)
                                                             : CopyToEnd(next.entry);
        if (!copied) return false;
        AddEntry(next.path, std::move(next.entry));
        pending_.pop_front();
    }
    // The new index will point at these bytes; they must be on disk before it is.
    return gameDataFd_ == -1 || SyncFile(gameDataFd_);
}

bool GameArchive::TakeFreeSpace(uint32_t needed, uint64_t& offset) {
    std::optional<ArchiveEntry> record = freeSpace_.TakeFirstFit(needed);
    if (!record) return false;
    offset = record->offset;
    uint32_t rest = record->size - needed;
    // A rest of one byte would be a record of size 0, which nothing could use.
    if (rest > 1) {
        freeSpace_.Append(ArchiveEntry{"rest space", record->offset + needed + 1, rest - 1, 0});
    }
    return true;
}

bool GameArchive::OpenDataFiles() {
    // Both stay open from one copy to the next; reopening them per file would only cost time.
    if (gameDataFd_ == -1) gameDataFd_ = OpenFile(gameDataPath_, OpenMode::ReadWrite);
    if (gameDataFd_ == -1) return false;
    if (updateDataFd_ == -1) updateDataFd_ = OpenFile(updateDataPath_, OpenMode::ReadOnly);
    return updateDataFd_ != -1;
}

bool GameArchive::CopyIntoFreeSpace(ArchiveEntry& entry, uint64_t offset) {
    if (!OpenDataFiles()) return false;
    if (SeekFile(gameDataFd_, static_cast<int64_t>(offset), SEEK_SET) < 0) return false;
    return CopyContent(entry, offset);
}

bool GameArchive::CopyToEnd(ArchiveEntry& entry) {
    if (!OpenDataFiles()) return false;
    int64_t end = SeekFile(gameDataFd_, 0, SEEK_END);
    if (end < 0) return false;
    return CopyContent(entry, static_cast<uint64_t>(end));
}

bool GameArchive::CopyContent(ArchiveEntry& entry, uint64_t target) {
    if (SeekFile(updateDataFd_, static_cast<int64_t>(entry.offset), SEEK_SET) < 0) return false;
    uint8_t* buffer = copyBuffer_.get();
    uint32_t left = entry.size;
    bool terminated = false;
    do {
        size_t chunk = std::min<size_t>(left, kCopyBufferSize);
        // A short read means update.kaf holds less than its index claims.
        if (chunk > 0 && !ReadFull(updateDataFd_, buffer, chunk)) return false;
        left -= static_cast<uint32_t>(chunk);
        size_t out = chunk;
        if (left == 0 && chunk < kCopyBufferSize) {
            buffer[chunk] = 0;  // the terminator rides along with the last chunk
            out = chunk + 1;
            terminated = true;
        }
        if (!WriteFull(gameDataFd_, buffer, out)) return false;
    } while (left > 0);
    if (!terminated) {
        const uint8_t zero = 0;
        if (!WriteFull(gameDataFd_, &zero, 1)) return false;
    }
    entry.offset = target;
    ++filesCopied_;
    window_.FileGauge().SetPos(static_cast<uint64_t>(filesCopied_));
    return true;
}

}  // namespace korvun
