// The game's two-file data archive (index data.kah, contents data.kaf) and the update archive
// (update.kah, update.kaf) that a patch package brings: loading and saving the index, free
// space, merging the update archive in, and the deletion list.
//
// Errors in the archive layer: the steps of a run return a Status whose text says what went
// wrong in the operator's words (the tool prints it); reading an index returns std::optional
// with the reason beside it; the merge, whose failures a player is told apart, also says
// which step failed (MergeResult). The file-level helpers below them (journal, index streams)
// return bool, as the platform layer does. Nothing here chooses a player's code or text:
// the update layer does, from what a step returns. Nothing here shows anything or throws,
// except std::bad_alloc where memory runs out. Progress goes to a ProgressSink.
#pragma once

#include <array>
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

// A game index as its file holds it: what the operator's tool and the tests look at, and what
// they write. Read and written by GameArchive's own code.
struct ArchiveIndex {
    static constexpr size_t kHeaderBlockSize = 40;

    uint32_t headerWord = 0;
    int32_t fileCount = 0;
    std::array<uint8_t, kHeaderBlockSize> headerBlock{};
    ArchiveFolder root;
    FreeSpaceList freeSpace;
    uint32_t lostBytes = 0;
    // Irregularities that loading accepted (a name length that is not the name's length + 1,
    // bytes after the trailer), for the check command.
    std::vector<std::string> notes;
};

// Where a merge stopped short, for the update layer to tell the player.
enum class MergeFailure {
    None,
    GameArchiveMissing,    // data.kah or data.kaf
    UpdateArchiveMissing,  // update.kah or update.kaf
    GameIndexUnopened,
    UpdateIndexUnopened,
    GameIndexDamaged,
    UpdateIndexDamaged,
    CopyFailed,     // nothing of the index changed
    IndexNotSaved,  // the marker or data.kah could not be written
    Stopped,        // the progress sink asked; the journal is left for the caller
};

struct MergeResult {
    MergeFailure failure = MergeFailure::None;
    std::string reason;  // what went wrong, in the operator's words
    bool Ok() const { return failure == MergeFailure::None; }
    explicit operator bool() const { return Ok(); }
};

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
    static constexpr size_t kHeaderBlockSize = ArchiveIndex::kHeaderBlockSize;
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

    // Merges update.kah/update.kaf into data.kah/data.kaf in the client's directory. The
    // progress sink may stop the copy between two files: the result is then Stopped,
    // MergeStopped() is true, and the journal that undoes the copy is left for the caller
    // (RecoverFromJournal).
    MergeResult MergeUpdateArchive();
    bool MergeStopped() const { return stopRequested_; }
    // Loads data.kah and removes every entry that delete.lst names. A failure (data.kah cannot
    // be opened or is malformed, the list cannot be read) says what went wrong; LoadError()
    // holds the malformation.
    Status LoadAndApplyDeleteList();
    // Trims the free-space list and rewrites data.kah when anything changed, then deletes an
    // applied delete.lst. A failure: data.kah could not be written.
    Status SaveIfChanged();
    // The deletion step's journal: begun before its marker is written (false: it could not
    // be, and nothing may change), ended once the marker after it is written.
    bool BeginChange();
    bool EndChange();

    const std::string& LoadError() const { return loadError_; }
    // Old bytes of data.kaf that the last change saved in its journal.
    uint64_t JournaledBytes() const { return journal_.SavedBytes(); }

    // The read-only inspection of an index and the writing of a fresh one, with the code a
    // run uses. Reading checks the signature; nullopt with *reason when it is malformed.
    static std::optional<ArchiveIndex> ReadIndex(IndexReader& in, std::string* reason);
    static std::optional<ArchiveIndex> ReadIndexFile(const std::string& path, std::string* reason);
    static void WriteIndex(IndexWriter& out, const ArchiveIndex& index);
    // Writes index to path durably: a temporary file beside it, flushed, renamed over it.
    // False when it could not be written; the old file is untouched then. With a journal, the
    // new index's identity is recorded in it before the rename.
    static bool SaveIndexFile(const std::string& path, const ArchiveIndex& index,
                              RollbackJournal* journal = nullptr);
    // Inserts entry at a "\"-separated path of root, making the folders it needs, the way a
    // merge inserts it.
    static void InsertEntry(ArchiveFolder& root, std::string_view path, ArchiveEntry entry);

  private:
    // The tests and fuzz harnesses that drive the merge's steps one at a time.
    friend class GameArchiveProbe;

    // The fixed header every index begins with.
    struct IndexHeader {
        uint32_t word = 0;
        uint32_t fileCount = 0;
        uint8_t block[kHeaderBlockSize] = {};
    };
    // A record in the reader's buffer: its name and the fixed fields after it.
    struct RecordView {
        std::string_view name;
        const uint8_t* fields = nullptr;
        size_t bytes = 0;  // the whole record, to skip once it has been taken in
    };
    static ArchiveEntry RecordEntry(const RecordView& record);

    // Merge steps.
    MergeResult Merge();
    void CollectUpdateFiles(ArchiveFolder& folder, const std::string& prefix);
    bool CopyPending();

    // Index records. A read returns false on a malformed or truncated record; the reason is
    // in LoadError() then.
    bool ReadHeader(IndexReader& in, bool checkSignature, IndexHeader& header);
    bool ReadFolder(IndexReader& in, ArchiveFolder& folder);
    static void WriteFolder(IndexWriter& out, const ArchiveFolder& folder);
    bool ReadFreeList(IndexReader& in);
    // Loads a game index (signature checked) from an open reader into this object.
    bool LoadGameIndex(IndexReader& in);

    // Tree operations on the game tree.
    void RemoveEntry(std::string_view path);
    void AddEntry(std::string_view path, ArchiveEntry entry);

    // Free space and content copies.
    bool TakeFreeSpace(uint32_t needed, uint64_t& offset);
    bool CopyIntoFreeSpace(ArchiveEntry& entry, uint64_t offset);
    bool CopyToEnd(ArchiveEntry& entry);

    bool ReadFolderAt(IndexReader& in, ArchiveFolder& folder, size_t depth);
    bool PeekRecord(IndexReader& in, size_t fieldBytes, const char* what, RecordView& record);
    bool ReadRecord(IndexReader& in, ArchiveEntry& entry, const char* what);
    bool ReadCount(IndexReader& in, uint32_t& count, size_t minRecordBytes, const char* what);
    bool LoadIndexBody(IndexReader& in, bool checkSignature);
    static void WriteRecord(IndexWriter& out, const ArchiveEntry& entry);
    static void WriteFreeList(IndexWriter& out, const FreeSpaceList& freeSpace);
    // Writes the game index to path (SaveIndexFile), closing this object's handle on it first.
    bool SaveIndex(const std::string& path, RollbackJournal* journal);
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
    std::string gameDataPath_;
    std::string gameIndexPath_;
    std::string updateDataPath_;
    std::string updateIndexPath_;
    std::string updateLogPath_;
    // The game index: loaded, changed, saved. A merge gives it the update's header.
    ArchiveIndex game_;
    ArchiveFolder updateRoot_;
    std::list<PendingCopy> pending_;
    int32_t updateFileCount_ = 0;
    uint32_t updateHeaderWord_ = 0;
    int32_t filesCopied_ = 0;
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
};

}  // namespace korvun
