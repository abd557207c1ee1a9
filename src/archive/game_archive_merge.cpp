// Merging an update archive into the game archive: placing and copying contents, and the
// merge sequence with its state markers.

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/game_archive.h"
#include "platform/file_io.h"

namespace korvun {

namespace {

// data.kah -> data.kaf, update.kah -> update.log
std::string WithLastCharacters(const std::string& path, const std::string& replacement) {
    return path.substr(0, path.size() - replacement.size()) + replacement;
}

}  // namespace

void GameArchive::ReportFilesCopied() {
    uint64_t copied = static_cast<uint64_t>(filesCopied_);
    // A stop asked for here is taken before the next file: a file is copied whole or not.
    if (progress_ != nullptr && copied > filesReported_ &&
        !progress_->Advance(copied - filesReported_)) {
        stopRequested_ = true;
    }
    filesReported_ = copied;
}

bool GameArchive::StopRequested() {
    if (!stopRequested_ && progress_ != nullptr && !progress_->Advance(0)) stopRequested_ = true;
    return stopRequested_;
}

MergeResult GameArchive::MergeUpdateArchive() {
    if (!FileExists(client_.Path("data.kah")) || !FileExists(client_.Path("data.kaf"))) {
        markers_.MarkUpdateStart();
        return {MergeFailure::GameArchiveMissing, "data.kah or data.kaf is missing"};
    }
    if (!FileExists(client_.Path("update.kah")) || !FileExists(client_.Path("update.kaf"))) {
        return {MergeFailure::UpdateArchiveMissing, "update.kah or update.kaf is missing"};
    }
    gameIndexPath_ = client_.Path("data.kah");
    updateIndexPath_ = client_.Path("update.kah");
    gameIndexFd_ = OpenFile(gameIndexPath_, OpenMode::ReadOnly);
    if (!gameIndexFd_.IsOpen()) {
        return {MergeFailure::GameIndexUnopened,
                std::string("cannot open data.kah: ") + std::strerror(errno)};
    }
    updateIndexFd_ = OpenFile(updateIndexPath_, OpenMode::ReadOnly);
    if (!updateIndexFd_.IsOpen()) {
        return {MergeFailure::UpdateIndexUnopened,
                std::string("cannot open update.kah: ") + std::strerror(errno)};
    }
    gameDataPath_ = WithLastCharacters(gameIndexPath_, "f");
    updateDataPath_ = WithLastCharacters(updateIndexPath_, "f");
    updateLogPath_ = WithLastCharacters(updateIndexPath_, "log");
    return Merge();
}

MergeResult GameArchive::Merge() {
    loadError_.clear();
    game_.notes.clear();

    // A malformed or truncated game index is refused like one with a wrong signature. The
    // saved index takes the update's header block, read below.
    IndexReader game(gameIndexFd_.Get());
    if (!LoadIndexBody(game, true)) {
        return {MergeFailure::GameIndexDamaged, "data.kah: " + loadError_};
    }

    IndexReader update(updateIndexFd_.Get());
    IndexHeader header;
    if (!ReadHeader(update, true, header) || !ReadFolder(update, updateRoot_) ||
        !CheckUpdatePaths(updateRoot_, 0, 0, true)) {
        return {MergeFailure::UpdateIndexDamaged, "update.kah: " + loadError_};
    }
    updateHeaderWord_ = header.word;
    updateFileCount_ = static_cast<int32_t>(header.fileCount);
    std::memcpy(game_.headerBlock.data(), header.block, kHeaderBlockSize);

    trackReleased_ = true;
    CollectUpdateFiles(updateRoot_, "");
    trackReleased_ = false;
    if (progress_ != nullptr)
        progress_->Begin(static_cast<uint64_t>(std::max(updateFileCount_, 0)));
    filesCopied_ = 0;
    filesReported_ = 0;
    TestPoint("merge-copy");
    // Nothing of data.kaf changes before the journal that can undo it is on disk: the copy
    // flushes it, with the old bytes it saves, before the first write.
    if (!OpenChange() || !CopyPending()) {
        // A stopped copy leaves its journal: the caller undoes the change with it.
        if (stopRequested_) return {MergeFailure::Stopped, "stopped"};
        return {MergeFailure::CopyFailed, "the contents could not be copied into data.kaf"};
    }

    int32_t mergedCount = static_cast<int32_t>(static_cast<uint32_t>(game_.fileCount) +
                                               static_cast<uint32_t>(updateFileCount_));
    // The merged index is the update's header over the merged tree.
    game_.headerWord = updateHeaderWord_;
    game_.fileCount = mergedCount;
    if (!markers_.MarkUpdateStart() || !SaveIndex(gameIndexPath_, &journal_)) {
        return {MergeFailure::IndexNotSaved, "data.kah could not be written"};
    }
    gameDataFd_.Reset();
    updateDataFd_.Reset();
    gameIndexFd_.Reset();
    updateIndexFd_.Reset();
    // Without the marker the journal stays: the next start finds the new index in place.
    if (markers_.MarkUpdateEnd()) EndChange();
    DeleteFile(updateDataPath_);
    DeleteFile(updateIndexPath_);
    DeleteFile(updateLogPath_);
    return {};
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
        pending_.push_back(PendingCopy{std::move(path), std::move(entry), std::nullopt});
    }
    for (ArchiveFolder& sub : folder.Subfolders()) {
        CollectUpdateFiles(sub, prefix.empty() ? sub.name : prefix + "\\" + sub.name);
    }
}

bool GameArchive::CopyPending() {
    // Every copy is placed before the first is made, so that the journal saves all the old
    // bytes they overwrite in one pass in offset order and puts them on disk with one flush.
    PlaceInFreeSpace();
    if (!SaveOverwrittenBytes()) return false;
    // Small files that go to the end one after another and lie back to back in update.kaf
    // are copied as one run: one read and one write instead of two per file. The bytes
    // written and the offsets given are those of copying them one at a time.
    auto run = pending_.begin();
    uint64_t runBytes = 0;
    for (auto next = pending_.begin(); next != pending_.end(); ++next) {
        if (StopRequested()) return false;
        const ArchiveEntry& entry = next->entry;
        if (next->freeSpaceOffset) {
            if (!CopyRunToEnd(run, next) ||
                !CopyIntoFreeSpace(next->entry, *next->freeSpaceOffset)) {
                return false;
            }
            AddEntry(next->path, std::move(next->entry));
            run = std::next(next);
            runBytes = 0;
            continue;
        }
        bool joins =
            run != next && runBytes + entry.size + 1 <= kCopySliceSize &&
            std::prev(next)->entry.offset + std::prev(next)->entry.size + 1 == entry.offset;
        if (!joins) {
            if (!CopyRunToEnd(run, next)) return false;
            run = next;
            runBytes = 0;
        }
        runBytes += uint64_t{entry.size} + 1;
    }
    if (!CopyRunToEnd(run, pending_.end()) || !WriteStagedCopies()) return false;
    pending_.clear();
    writeback_.Finish();
    // The new index will point at these bytes; they must be on disk before it is.
    return !gameDataFd_.IsOpen() || SyncFile(gameDataFd_.Get());
}

void GameArchive::PlaceInFreeSpace() {
    for (PendingCopy& pending : pending_) {
        uint64_t offset;
        if (TakeFreeSpace(pending.entry.size, offset)) pending.freeSpaceOffset = offset;
    }
}

bool GameArchive::SaveOverwrittenBytes() {
    std::vector<std::pair<uint64_t, uint64_t>> targets;
    for (const PendingCopy& pending : pending_) {
        if (!pending.freeSpaceOffset) continue;
        uint64_t start = *pending.freeSpaceOffset;
        uint64_t end = start + pending.entry.size + 1;
        if (end < start) end = UINT64_MAX;  // a region of a damaged list that runs off the end
        targets.emplace_back(start, end);
    }
    std::sort(targets.begin(), targets.end());
    // Only what the committed index still uses needs saving; appended bytes are undone by
    // cutting data.kaf to its old length. Neighbouring parts make one record.
    std::vector<std::pair<uint64_t, uint64_t>> saved;
    for (const auto& [start, end] : targets) {
        committedRegions_.TakeOverlap(start, end, [&](uint64_t from, uint64_t to) {
            if (!saved.empty() && saved.back().second == from) {
                saved.back().second = to;
            } else {
                saved.emplace_back(from, to);
            }
            return true;
        });
    }
    if (!saved.empty() && !OpenDataFiles()) return false;
    journal_.StartWritesWith(&writeback_);
    for (const auto& [from, to] : saved) {
        if (StopRequested() || !journal_.SaveRegion(gameDataFd_.Get(), from, to - from)) {
            return false;
        }
    }
    return !journal_.Active() || journal_.Sync();
}

bool GameArchive::CopyRunToEnd(std::list<PendingCopy>::iterator first,
                               std::list<PendingCopy>::iterator last) {
    if (first == last) return true;
    if (std::next(first) == last) {
        if (!CopyToEnd(first->entry)) return false;
        AddEntry(first->path, std::move(first->entry));
        return true;
    }
    if (!OpenDataFiles() || !FindDataEnd()) return false;
    uint64_t start = first->entry.offset;
    const ArchiveEntry& final = std::prev(last)->entry;
    size_t span = static_cast<size_t>(final.offset + final.size - start);
    uint8_t* buffer = copyBuffer_.get();
    bool copied =
        SeekTracked(gameDataFd_.Get(), gameDataPos_, static_cast<uint64_t>(gameDataEnd_)) &&
        SeekTracked(updateDataFd_.Get(), updateDataPos_, start) &&
        ReadFull(updateDataFd_.Get(), buffer, span);
    if (copied) {
        // The byte after each content in update.kaf is not content; ours is a terminator.
        for (auto it = first; it != last; ++it) {
            buffer[it->entry.offset + it->entry.size - start] = 0;
        }
        copied = WriteFull(gameDataFd_.Get(), buffer, span + 1);
        NoteBytesWritten(span + 1);
    }
    if (!copied) {
        gameDataPos_ = updateDataPos_ = -1;
        return false;
    }
    uint64_t target = static_cast<uint64_t>(gameDataEnd_);
    updateDataPos_ += static_cast<int64_t>(span);
    gameDataPos_ += static_cast<int64_t>(span + 1);
    gameDataEnd_ = gameDataPos_;
    for (auto it = first; it != last; ++it) {
        it->entry.offset = target + (it->entry.offset - start);
        ++filesCopied_;
        ReportFilesCopied();
        AddEntry(it->path, std::move(it->entry));
    }
    return true;
}

void GameArchive::NoteBytesWritten(uint64_t bytes) {
    // The content must reach the disk before the new index does; starting the writes while
    // the copy goes on keeps that final flush short.
    unflushedBytes_ += bytes;
    if (unflushedBytes_ >= kWritebackStep) {
        writeback_.Request(gameDataFd_.Get());
        unflushedBytes_ = 0;
    }
}

bool GameArchive::TakeFreeSpace(uint32_t needed, uint64_t& offset) {
    std::optional<uint64_t> taken = game_.freeSpace.Allocate(needed);
    if (!taken) return false;
    offset = *taken;
    return true;
}

bool GameArchive::OpenDataFiles() {
    // Both stay open from one copy to the next; reopening them per file would only cost time.
    if (!gameDataFd_.IsOpen()) {
        gameDataFd_ = OpenFile(gameDataPath_, OpenMode::ReadWrite);
        gameDataPos_ = gameDataEnd_ = -1;
    }
    if (!gameDataFd_.IsOpen()) return false;
    if (!updateDataFd_.IsOpen()) {
        updateDataFd_ = OpenFile(updateDataPath_, OpenMode::ReadOnly);
        updateDataPos_ = -1;
    }
    return updateDataFd_.IsOpen();
}

bool GameArchive::FindDataEnd() {
    if (gameDataEnd_ >= 0) return true;
    gameDataEnd_ = gameDataPos_ = SeekFile(gameDataFd_.Get(), 0, SEEK_END);
    return gameDataEnd_ >= 0;
}

bool GameArchive::SeekTracked(int fd, int64_t& tracked, uint64_t position) {
    if (position > static_cast<uint64_t>(INT64_MAX)) return false;
    if (tracked == static_cast<int64_t>(position)) return true;
    tracked = SeekFile(fd, static_cast<int64_t>(position), SEEK_SET);
    return tracked == static_cast<int64_t>(position);
}

bool GameArchive::CopyIntoFreeSpace(ArchiveEntry& entry, uint64_t offset) {
    if (!OpenDataFiles() || !FindDataEnd()) return false;
    uint64_t dataEnd = static_cast<uint64_t>(gameDataEnd_);
    // Only a small copy that lies wholly inside the file waits: spans written later then
    // never reach past the end, where the copies to the end go.
    if (entry.size < kStagedCopyLimit && offset <= dataEnd && entry.size < dataEnd - offset) {
        uint64_t end = offset + entry.size + 1;
        staged_.push_back(StagedCopy{entry.offset, offset, entry.size});
        stagedBytes_ += entry.size + 1;
        stagedLow_ = std::min(stagedLow_, offset);
        stagedHigh_ = std::max(stagedHigh_, end);
        entry.offset = offset;
        bool full = stagedBytes_ >= kStagedBytesLimit || staged_.size() >= kStagedCountLimit;
        return !full || WriteStagedCopies();
    }
    // A copy written now must not be overtaken by an earlier one over the same bytes (only a
    // damaged free-space list has overlapping records).
    bool overlaps =
        offset < stagedHigh_ && (offset >= stagedLow_ || entry.size >= stagedLow_ - offset);
    if (overlaps && !WriteStagedCopies()) return false;
    return CopyContent(entry, offset);
}

bool GameArchive::WriteStagedCopies() {
    std::vector<size_t> byTarget(staged_.size());
    for (size_t i = 0; i < byTarget.size(); ++i) byTarget[i] = i;
    std::stable_sort(byTarget.begin(), byTarget.end(),
                     [&](size_t a, size_t b) { return staged_[a].target < staged_[b].target; });
    // Copies less than a block apart go out in one write, the bytes between them rewritten
    // as they stand; a span never exceeds the copy buffer.
    std::vector<size_t> members;
    bool written = true;
    for (size_t i = 0; written && i < byTarget.size();) {
        uint64_t spanStart = staged_[byTarget[i]].target;
        uint64_t spanEnd = spanStart;
        bool gaps = false;
        members.clear();
        for (; i < byTarget.size(); ++i) {
            const StagedCopy& copy = staged_[byTarget[i]];
            uint64_t end = std::max(spanEnd, copy.target + copy.size + 1);
            if (!members.empty() &&
                (copy.target > spanEnd + kStagedJoinGap || end - spanStart > kCopyBufferSize)) {
                break;
            }
            gaps = gaps || copy.target > spanEnd;
            members.push_back(byTarget[i]);
            spanEnd = end;
        }
        written =
            WriteStagedSpan(members, spanStart, static_cast<size_t>(spanEnd - spanStart), gaps);
    }
    staged_.clear();
    stagedBytes_ = 0;
    stagedLow_ = UINT64_MAX;
    stagedHigh_ = 0;
    return written;
}

bool GameArchive::WriteStagedSpan(std::vector<size_t>& members, uint64_t spanStart,
                                  size_t spanBytes, bool gaps) {
    uint8_t* buffer = copyBuffer_.get();
    bool copied = SeekTracked(gameDataFd_.Get(), gameDataPos_, spanStart);
    if (copied && gaps) {
        copied = ReadFull(gameDataFd_.Get(), buffer, spanBytes);
        gameDataPos_ += static_cast<int64_t>(spanBytes);
    }
    // In the order they were placed, so that copies over the same bytes (a damaged list)
    // end as they would one by one; that is also their order in update.kaf.
    std::sort(members.begin(), members.end());
    for (size_t index : members) {
        const StagedCopy& copy = staged_[index];
        uint8_t* at = buffer + (copy.target - spanStart);
        // A short read means update.kaf holds less than its index claims.
        copied = copied && SeekTracked(updateDataFd_.Get(), updateDataPos_, copy.source) &&
                 ReadFull(updateDataFd_.Get(), at, copy.size);
        if (!copied) break;
        updateDataPos_ += copy.size;
        at[copy.size] = 0;
    }
    copied = copied && SeekTracked(gameDataFd_.Get(), gameDataPos_, spanStart) &&
             WriteFull(gameDataFd_.Get(), buffer, spanBytes);
    if (!copied) {
        gameDataPos_ = updateDataPos_ = -1;
        return false;
    }
    gameDataPos_ += static_cast<int64_t>(spanBytes);
    NoteBytesWritten(spanBytes);
    for (size_t n = 0; n < members.size(); ++n) {
        ++filesCopied_;
        ReportFilesCopied();
    }
    return true;
}

bool GameArchive::CopyToEnd(ArchiveEntry& entry) {
    if (!OpenDataFiles() || !FindDataEnd()) return false;
    return CopyContent(entry, static_cast<uint64_t>(gameDataEnd_));
}

bool GameArchive::CopyContent(ArchiveEntry& entry, uint64_t target) {
    bool copied = SeekTracked(gameDataFd_.Get(), gameDataPos_, target) &&
                  SeekTracked(updateDataFd_.Get(), updateDataPos_, entry.offset);
    uint8_t* buffer = copyBuffer_.get();
    uint32_t left = entry.size;
    bool terminated = false;
    while (copied && !terminated) {
        size_t slice = std::min<size_t>(left, kCopySliceSize);
        // A short read means update.kaf holds less than its index claims.
        copied = slice == 0 || ReadFull(updateDataFd_.Get(), buffer, slice);
        left -= static_cast<uint32_t>(slice);
        size_t out = slice;
        if (left == 0) {
            buffer[slice] = 0;  // the terminator rides along with the last slice
            out = slice + 1;
            terminated = true;
        }
        copied = copied && WriteFull(gameDataFd_.Get(), buffer, out);
        updateDataPos_ += static_cast<int64_t>(slice);
        gameDataPos_ += static_cast<int64_t>(out);
        NoteBytesWritten(out);
    }
    if (!copied) {
        gameDataPos_ = updateDataPos_ = -1;
        return false;
    }
    // A write into free space past a known end (a record beyond the file) moves the end.
    if (gameDataEnd_ >= 0) gameDataEnd_ = std::max(gameDataEnd_, gameDataPos_);
    entry.offset = target;
    ++filesCopied_;
    ReportFilesCopied();
    return true;
}

}  // namespace korvun
