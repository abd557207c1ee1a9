// The rollback journal of a change to the game archive, kept beside data.kaf. Before data.kaf
// is first changed, the journal holds its length and the identity of the index that describes
// it; before a region that index still uses is overwritten, the region's old bytes; before the
// new index replaces the old one, the new index's identity. The replacement of the index is the
// commit point: after an interruption, the index found in place says whether the change is to
// be undone (the old one: put the saved bytes back, cut data.kaf to its old length) or is whole
// (the new one).
//
// Layout, little-endian. Header: "KORVUNJ1", a 16-byte random salt, data length (8), index
// length (8), index digest (32), check (16). Records: kind (4); kind 3, old bytes: offset (8),
// length (8), the bytes; kind 4, seal: its own position in the journal (8), check (16); kind 2,
// new index: length (8), digest (32), check (16); kind 1 (earlier versions), old bytes with
// their own check: offset (8), length (8), the bytes, check (16). Each check is a BLAKE2b-128
// keyed with the salt over the bytes before it in its part, so a torn or left-over tail ends
// the journal where it stops making sense. Old bytes carry no check of their own: the seal is
// written only once they are flushed, and they count only when a seal follows them, so the
// bytes of a large region are read, written and flushed, but never hashed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/file_identity.h"
#include "platform/writeback_thread.h"

namespace korvun {

class RollbackJournal {
  public:
    static constexpr uint32_t kOldBytes = 1;  // read, no longer written
    static constexpr uint32_t kNewIndex = 2;
    static constexpr uint32_t kSealedOldBytes = 3;
    static constexpr uint32_t kSeal = 4;
    static constexpr size_t kSaltBytes = 16;
    static constexpr size_t kCheckBytes = 16;
    static constexpr size_t kHeaderBytes = 8 + kSaltBytes + 8 + 8 + 32 + kCheckBytes;

    explicit RollbackJournal(std::string path);
    ~RollbackJournal();
    RollbackJournal(const RollbackJournal&) = delete;
    RollbackJournal& operator=(const RollbackJournal&) = delete;

    // Starts the journal of a change: a new file with the header, on disk (file and folder
    // flushed) when this returns true.
    bool Begin(uint64_t dataLength, const FileIdentity& committedIndex);
    // Starts the journal as Begin does, but leaves the header to the first Sync, so that the
    // header and the regions saved before the first change reach the disk with one flush.
    bool Open(uint64_t dataLength, const FileIdentity& committedIndex);
    bool Active() const { return fd_ != -1; }
    // Starts the disk writes of the journal from this helper while regions are saved, so that
    // the flush after them finds most of the work done.
    void StartWritesWith(WritebackThread* writeback) { writeback_ = writeback; }
    // Adds the bytes now at [offset, offset + length) of the data file; they are safe to
    // overwrite once Sync has returned true.
    bool SaveRegion(int dataFd, uint64_t offset, uint64_t length);
    // Writes out and flushes what was added since the last call (the first time also the
    // folder, which holds the journal's new name); after saved regions, then writes and
    // flushes the seal that makes them count.
    bool Sync();
    // Records the index that is about to replace the committed one; flushed on return.
    bool RecordNewIndex(const FileIdentity& newIndex);
    // Deletes the journal file and flushes its folder: the change is over.
    bool Remove();

    const std::string& Path() const { return path_; }
    uint64_t SavedBytes() const { return savedBytes_; }

  private:
    bool Append(const void* data, size_t size);
    bool WritePending();
    bool Flush();

    std::string path_;
    int fd_ = -1;
    uint8_t salt_[kSaltBytes] = {};
    // What was added and not written yet; written out in pieces of the buffer's size.
    std::unique_ptr<uint8_t[]> pending_;
    size_t pendingBytes_ = 0;
    uint64_t journalBytes_ = 0;    // the journal's length, pending bytes included
    bool unsealed_ = false;        // regions saved since the last seal
    uint64_t unstartedBytes_ = 0;  // written since the helper was last asked to start writes
    WritebackThread* writeback_ = nullptr;
    bool folderSynced_ = false;
    bool failed_ = false;
    uint64_t savedBytes_ = 0;
};

// Regions of the data file that the committed index still uses and the journal has not saved
// yet: each is saved once, just before the first write over it.
class RegionSet {
  public:
    // Adds [start, end), joined with the regions it touches.
    void Add(uint64_t start, uint64_t end);
    // Calls take(start, end) for each part of [start, end) in the set, in order, and removes
    // those parts; false as soon as take returns false.
    template <typename Take>
    bool TakeOverlap(uint64_t start, uint64_t end, Take take) {
        auto it = regions_.upper_bound(start);
        if (it != regions_.begin() && std::prev(it)->second > start) --it;
        while (it != regions_.end() && it->first < end) {
            uint64_t from = std::max(it->first, start), to = std::min(it->second, end);
            uint64_t regionStart = it->first, regionEnd = it->second;
            it = regions_.erase(it);
            if (regionStart < from) regions_.emplace(regionStart, from);
            if (to < regionEnd) it = regions_.emplace(to, regionEnd).first;
            if (!take(from, to)) return false;
        }
        return true;
    }
    bool Empty() const { return regions_.empty(); }
    void Clear() { regions_.clear(); }

  private:
    std::map<uint64_t, uint64_t> regions_;  // start -> end, disjoint, not touching
};

// What the start of a run found and did.
enum class JournalRecovery {
    NoJournal,   // nothing was interrupted
    RolledBack,  // the old index was in place: data.kaf is as it was before the change
    Committed,   // the new index was in place: the change is whole
    Mismatch,    // the journal does not describe these files; nothing was touched
    Failed,      // undoing the change failed part way; the journal stays for the next try
};

// Brings index and data file back to one consistent state when a journal is present. The
// journal itself is left in place; the caller removes it (RemoveJournal) once it has recorded
// the outcome. Undoing is repeatable, so an interruption here is mended by the next start.
JournalRecovery RecoverFromJournal(const std::string& journalPath, const std::string& indexPath,
                                   const std::string& dataPath);

bool RemoveJournal(const std::string& journalPath);

}  // namespace korvun
