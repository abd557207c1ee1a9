// The game's two-file data archive (index data.kah, contents data.kaf) and the update archive
// (update.kah, update.kaf) that a patch package brings: loading and saving the index, free
// space, merging the update archive in, and the deletion list.
//
// Errors in the archive layer: the steps a run takes (merge, deletion list, saving) return a
// Status that carries the player's message and its code when there is one; the index reader
// returns false and leaves a description in LoadError(). Nothing here shows anything or
// throws, except std::bad_alloc where memory runs out. Progress goes to a ProgressSink.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive_tree.h"
#include "archive/free_space_list.h"
#include "archive/index_stream.h"
#include "archive/rollback_journal.h"
#include "archive/state_markers.h"
#include "platform/client_directory.h"
#include "platform/file_io.h"
#include "platform/progress_sink.h"
#include "platform/status.h"
#include "platform/writeback_thread.h"

namespace korvun {

// One file of the update archive waiting for its content to be copied into the game archive.
struct PendingCopy {
    std::string path;  // full path in the archive, components joined by "\"
    ArchiveEntry entry;
    std::optional<uint64_t> freeSpaceOffset;  // where it goes when not to the end of data.kaf
};

class GameArchive {
  public:
    static constexpr size_t kCopyBufferSize = 500000;
    // Each read and write moves at most this much of the buffer, so that what one read brought
    // in is still in the processor's cache when the write takes it out again.
    static constexpr size_t kCopySliceSize = 128 * 1024;
    static constexpr size_t kHeaderBlockSize = 40;
    static constexpr size_t kHeaderSize = 51;
    // Deeper nesting, or a longer path than the path buffers of the format's users hold,
    // marks an index as malformed.
    static constexpr size_t kMaxFolderDepth = 512;
    static constexpr size_t kMaxPathBytes = 2047;
    // The deletion step keeps the free-space list from growing without bound.
    static constexpr size_t kTrimAbove = 700;
    static constexpr size_t kTrimTo = 500;
    // Beside data.kaf while a change of the archive can still be undone.
    static constexpr const char* kJournalName = "data.kaf.journal";

    // The archive of the client in client. progress, when given, is told the number of update
    // files and each one copied.
    GameArchive(ClientDirectory client, StateMarkers& markers, ProgressSink* progress = nullptr);
    ~GameArchive();
    GameArchive(const GameArchive&) = delete;
    GameArchive& operator=(const GameArchive&) = delete;

    // Merges update.kah/update.kaf into data.kah/data.kaf in the client's directory. A failure
    // carries the player's message. The progress sink may stop the copy between two files: the
    // failure then has no text, MergeStopped() is true, and the journal that undoes the copy
    // is left for the caller (RecoverFromJournal).
    Status MergeUpdateArchive();
    bool MergeStopped() const { return stopRequested_; }
    // Loads data.kah and removes every entry that delete.lst names. A failure (data.kah cannot
    // be opened or is malformed, the list cannot be read) carries no message for the player;
    // its text says what went wrong.
    Status LoadAndApplyDeleteList();
    // Trims the free-space list and rewrites data.kah when anything changed, then deletes an
    // applied delete.lst. A failure (data.kah could not be written) carries no message for the
    // player.
    Status SaveIfChanged();
    // The deletion step's journal: begun before its marker is written (false: it could not
    // be, and nothing may change), ended once the marker after it is written.
    bool BeginChange();
    bool EndChange();

    // Merge steps.
    Status Merge();
    void CollectUpdateFiles(ArchiveFolder& folder, const std::string& prefix);
    bool CopyPending();

    // Index records. A read returns false on a malformed or truncated record; the reason is
    // in LoadError() then.
    bool ReadFolder(IndexReader& in, ArchiveFolder& folder);
    void WriteFolder(IndexWriter& out, const ArchiveFolder& folder);
    bool ReadFreeList(IndexReader& in);
    void WriteFreeList(IndexWriter& out);

    // Tree operations on the game tree.
    void RemoveEntry(std::string_view path);
    void AddEntry(std::string_view path, ArchiveEntry entry);

    // Free space and content copies.
    bool TakeFreeSpace(uint32_t needed, uint64_t& offset);
    bool CopyIntoFreeSpace(ArchiveEntry& entry, uint64_t offset);
    bool CopyToEnd(ArchiveEntry& entry);

    // Whole-index operations for the operator's tool and tests.
    // Loads a game index (signature checked) from an open reader into this object.
    bool LoadGameIndex(IndexReader& in);
    // Loads the game index file at path.
    bool LoadGameIndexFile(const std::string& path);
    // Writes the game index to out with the given header values and this object's block.
    void WriteIndex(IndexWriter& out, uint32_t headerWord, int32_t fileCount);
    // Writes the game index to path durably: a temporary file beside it, flushed, renamed
    // over it. False when it could not be written; the old file is untouched then. With a
    // journal, the new index's identity is recorded in it before the rename.
    bool SaveIndex(const std::string& path, uint32_t headerWord, int32_t fileCount,
                   RollbackJournal* journal = nullptr);

    // A record in the reader's buffer: its name and the fixed fields after it.
    struct RecordView {
        std::string_view name;
        const uint8_t* fields = nullptr;
        size_t bytes = 0;  // the whole record, to skip once it has been taken in
    };

    const std::string& LoadError() const { return loadError_; }
    // Irregularities that loading accepted (a name length that is not the name's length + 1,
    // bytes after the trailer), for the check command.
    const std::vector<std::string>& LoadNotes() const { return loadNotes_; }

    ArchiveFolder& GameRoot() { return gameRoot_; }
    ArchiveFolder& UpdateRoot() { return updateRoot_; }
    const FreeSpaceList& FreeSpace() const { return freeSpace_; }
    void AppendFreeSpace(ArchiveEntry record) { freeSpace_.Append(std::move(record)); }
    const std::list<PendingCopy>& Pending() const { return pending_; }

    int32_t GameFileCount() const { return gameFileCount_; }
    void SetGameFileCount(int32_t count) { gameFileCount_ = count; }
    uint32_t GameHeaderWord() const { return gameHeaderWord_; }
    void SetGameHeaderWord(uint32_t word) { gameHeaderWord_ = word; }
    int32_t UpdateFileCount() const { return updateFileCount_; }
    uint32_t UpdateHeaderWord() const { return updateHeaderWord_; }
    const uint8_t* HeaderBlock() const { return headerBlock_; }
    uint8_t* HeaderBlock() { return headerBlock_; }
    uint32_t LostBytes() const { return lostBytes_; }
    void SetLostBytes(uint32_t bytes) { lostBytes_ = bytes; }
    int32_t FilesCopied() const { return filesCopied_; }
    bool Modified() const { return modified_; }
    // Old bytes of data.kaf that the last change saved in its journal.
    uint64_t JournaledBytes() const { return journal_.SavedBytes(); }

  private:
    bool ReadFolderAt(IndexReader& in, ArchiveFolder& folder, size_t depth);
    bool PeekRecord(IndexReader& in, size_t fieldBytes, const char* what, RecordView& record);
    bool ReadRecord(IndexReader& in, ArchiveEntry& entry, const char* what);
    bool ReadCount(IndexReader& in, uint32_t& count, size_t minRecordBytes, const char* what);
    bool LoadIndexBody(IndexReader& in, bool checkSignature);
    void WriteRecord(IndexWriter& out, const ArchiveEntry& entry);
    bool CheckUpdatePaths(const ArchiveFolder& folder, size_t prefixBytes, size_t prefixSeparators,
                          bool prefixEmpty);
    bool OpenDataFiles();
    bool CopyContent(ArchiveEntry& entry, uint64_t target);
    void NoteBytesWritten(uint64_t bytes);
    bool SeekTracked(int fd, int64_t& tracked, uint64_t position);
    bool FindDataEnd();
    bool CopyRunToEnd(std::list<PendingCopy>::iterator first,
                      std::list<PendingCopy>::iterator last);
    bool WriteStagedCopies();
    bool WriteStagedSpan(std::vector<size_t>& members, uint64_t spanStart, size_t spanBytes,
                         bool gaps);
    bool OpenChange();
    void PlaceInFreeSpace();
    bool SaveOverwrittenBytes();
    // Moves the progress sink on to the files copied so far.
    void ReportFilesCopied();
    // True once the progress sink has asked the merge to stop.
    bool StopRequested();
    void CloseAll();

    StateMarkers& markers_;
    ProgressSink* progress_;
    uint64_t filesReported_ = 0;

    FileHandle gameDataFd_;
    FileHandle gameIndexFd_;
    FileHandle updateDataFd_;
    FileHandle updateIndexFd_;
    uint8_t headerBlock_[kHeaderBlockSize] = {};
    std::string gameDataPath_;
    std::string gameIndexPath_;
    std::string updateDataPath_;
    std::string updateIndexPath_;
    std::string updateLogPath_;
    ArchiveFolder gameRoot_;
    ArchiveFolder updateRoot_;
    std::list<PendingCopy> pending_;
    FreeSpaceList freeSpace_;
    int32_t gameFileCount_ = 0;
    int32_t updateFileCount_ = 0;
    uint32_t gameHeaderWord_ = 0;
    uint32_t updateHeaderWord_ = 0;
    int32_t filesCopied_ = 0;
    uint32_t lostBytes_ = 0;
    bool modified_ = false;
    bool stopRequested_ = false;
    bool deleteListApplied_ = false;
    // While the merge collects, the regions of the entries it replaces: the committed index
    // still uses them, so the journal saves them before they are reused.
    bool trackReleased_ = false;
    RegionSet committedRegions_;
    ClientDirectory client_;
    RollbackJournal journal_;
    uint64_t unflushedBytes_ = 0;
    static constexpr uint64_t kWritebackStep = 8 * 1024 * 1024;
    WritebackThread writeback_;  // the only user of gameDataFd_ besides this object

    // Small copies into free space wait here and are written in offset order, neighbours
    // together: the kernel's cost of a small write grows with the page-cache folio it lands
    // in, which for a large data file is far more than the few bytes written.
    struct StagedCopy {
        uint64_t source;  // in update.kaf
        uint64_t target;  // in data.kaf
        uint32_t size;    // content bytes; the terminator follows at target + size
    };
    static constexpr uint32_t kStagedCopyLimit = 64 * 1024;
    static constexpr uint64_t kStagedBytesLimit = 4 * 1024 * 1024;
    static constexpr size_t kStagedCountLimit = 65536;
    static constexpr uint64_t kStagedJoinGap = 4096;
    std::vector<StagedCopy> staged_;
    uint64_t stagedBytes_ = 0;
    uint64_t stagedLow_ = UINT64_MAX;
    uint64_t stagedHigh_ = 0;

    std::unique_ptr<uint8_t[]> copyBuffer_;
    // Where the two data descriptors stand (-1 unknown) and where data.kaf ends, so that
    // sequential copies need no seek calls.
    int64_t gameDataPos_ = -1;
    int64_t updateDataPos_ = -1;
    int64_t gameDataEnd_ = -1;
    std::string loadError_;
    std::vector<std::string> loadNotes_;
};

}  // namespace korvun
