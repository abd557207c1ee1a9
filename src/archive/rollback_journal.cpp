#include "archive/rollback_journal.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

#include "archive/index_stream.h"
#include "platform/file_io.h"

namespace korvun {

namespace {

constexpr char kMagic[8] = {'K', 'O', 'R', 'V', 'U', 'N', 'J', '1'};
constexpr size_t kChunkBytes = 1 << 20;
// Records gather in memory and go out in writes of this size: small ones together, large ones
// read from the data file straight into it.
constexpr size_t kPendingLimit = 4 << 20;
// The helper is asked to start the disk writes after this many bytes.
constexpr uint64_t kWritebackStep = 8 << 20;

// A BLAKE2b-128 keyed with the journal's salt, over the pieces given in turn.
class Check {
  public:
    explicit Check(const uint8_t* salt) {
        crypto_generichash_init(&state_, salt, RollbackJournal::kSaltBytes,
                                RollbackJournal::kCheckBytes);
    }
    void Add(const void* data, size_t size) {
        crypto_generichash_update(&state_, static_cast<const unsigned char*>(data), size);
    }
    void Finish(uint8_t* out) {
        crypto_generichash_final(&state_, out, RollbackJournal::kCheckBytes);
    }
    bool Matches(const uint8_t* expected) {
        uint8_t actual[RollbackJournal::kCheckBytes];
        Finish(actual);
        return std::memcmp(actual, expected, sizeof actual) == 0;
    }

  private:
    crypto_generichash_state state_;
};

void EncodeHeader(uint8_t* header, const uint8_t* salt, uint64_t dataLength,
                  const FileIdentity& index) {
    std::memcpy(header, kMagic, sizeof kMagic);
    std::memcpy(header + 8, salt, RollbackJournal::kSaltBytes);
    StoreLittle64(header + 24, dataLength);
    StoreLittle64(header + 32, index.length);
    std::memcpy(header + 40, index.digest.data(), index.digest.size());
    Check check(salt);
    check.Add(header, 72);
    check.Finish(header + 72);
}

}  // namespace

void RegionSet::Add(uint64_t start, uint64_t end) {
    if (start >= end) return;
    auto it = regions_.upper_bound(start);
    if (it != regions_.begin() && std::prev(it)->second >= start) {
        --it;
        start = it->first;
        end = std::max(end, it->second);
        it = regions_.erase(it);
    }
    while (it != regions_.end() && it->first <= end) {
        end = std::max(end, it->second);
        it = regions_.erase(it);
    }
    regions_.emplace(start, end);
}

RollbackJournal::RollbackJournal(std::string path) : path_(std::move(path)) {}

RollbackJournal::~RollbackJournal() { CloseFile(fd_); }

bool RollbackJournal::Begin(uint64_t dataLength, const FileIdentity& committedIndex) {
    bool begun = Open(dataLength, committedIndex) && Sync();
    if (!begun) CloseFile(fd_);
    return begun;
}

bool RollbackJournal::Open(uint64_t dataLength, const FileIdentity& committedIndex) {
    if (sodium_init() < 0) return false;
    CloseFile(fd_);
    if (!pending_) pending_ = std::make_unique_for_overwrite<uint8_t[]>(kPendingLimit);
    pendingBytes_ = 0;
    journalBytes_ = 0;
    unstartedBytes_ = 0;
    unsealed_ = false;
    folderSynced_ = false;
    failed_ = false;
    savedBytes_ = 0;
    randombytes_buf(salt_, sizeof salt_);
    uint8_t header[kHeaderBytes];
    EncodeHeader(header, salt_, dataLength, committedIndex);
    // The journal keeps its descriptor between records; CloseFile below, in Remove and in the
    // destructor end it.
    fd_ = OpenFile(path_, OpenMode::WriteCreateTruncate).Release();
    return fd_ != -1 && Append(header, sizeof header);
}

bool RollbackJournal::Append(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        if (pendingBytes_ == kPendingLimit && !WritePending()) return false;
        size_t piece = std::min(size, kPendingLimit - pendingBytes_);
        std::memcpy(pending_.get() + pendingBytes_, bytes, piece);
        pendingBytes_ += piece;
        journalBytes_ += piece;
        bytes += piece;
        size -= piece;
    }
    return true;
}

bool RollbackJournal::WritePending() {
    if (!failed_ && pendingBytes_ > 0) failed_ = !WriteFull(fd_, pending_.get(), pendingBytes_);
    unstartedBytes_ += pendingBytes_;
    pendingBytes_ = 0;
    if (!failed_ && writeback_ != nullptr && unstartedBytes_ >= kWritebackStep) {
        writeback_->Request(fd_);
        unstartedBytes_ = 0;
    }
    return !failed_;
}

bool RollbackJournal::SaveRegion(int dataFd, uint64_t offset, uint64_t length) {
    if (fd_ == -1 || failed_) return false;
    uint8_t head[20];
    StoreLittle32(head, kSealedOldBytes);
    StoreLittle64(head + 4, offset);
    StoreLittle64(head + 12, length);
    if (!Append(head, sizeof head)) return false;
    // The bytes go from the data file straight into the buffer that is written out.
    for (uint64_t done = 0; done < length;) {
        if (pendingBytes_ == kPendingLimit && !WritePending()) return false;
        size_t size =
            static_cast<size_t>(std::min<uint64_t>(length - done, kPendingLimit - pendingBytes_));
        if (!ReadAt(dataFd, pending_.get() + pendingBytes_, size, offset + done)) {
            failed_ = true;
            return false;
        }
        pendingBytes_ += size;
        journalBytes_ += size;
        done += size;
    }
    savedBytes_ += length;
    unsealed_ = true;
    return true;
}

bool RollbackJournal::Sync() {
    if (!Flush()) return false;
    if (!unsealed_) return true;
    uint8_t seal[12 + kCheckBytes];
    StoreLittle32(seal, kSeal);
    StoreLittle64(seal + 4, journalBytes_);
    Check check(salt_);
    check.Add(seal, 12);
    check.Finish(seal + 12);
    unsealed_ = false;
    return Append(seal, sizeof seal) && Flush();
}

bool RollbackJournal::Flush() {
    if (fd_ == -1 || !WritePending()) return false;
    // No start of writes may still be under way for a descriptor that Remove may close.
    if (writeback_ != nullptr) writeback_->Finish();
    unstartedBytes_ = 0;
    bool synced = SyncFile(fd_) && (folderSynced_ || SyncParentDirectory(path_));
    folderSynced_ = folderSynced_ || synced;
    failed_ = !synced;
    return synced;
}

bool RollbackJournal::RecordNewIndex(const FileIdentity& newIndex) {
    if (fd_ == -1 || failed_) return false;
    uint8_t record[4 + 8 + FileIdentity::kDigestBytes + kCheckBytes];
    StoreLittle32(record, kNewIndex);
    StoreLittle64(record + 4, newIndex.length);
    std::memcpy(record + 12, newIndex.digest.data(), newIndex.digest.size());
    Check check(salt_);
    check.Add(record, 44);
    check.Finish(record + 44);
    return Append(record, sizeof record) && Sync();
}

bool RollbackJournal::Remove() {
    CloseFile(fd_);
    return RemoveJournal(path_);
}

bool RemoveJournal(const std::string& journalPath) {
    return DeleteFile(journalPath) && SyncParentDirectory(journalPath);
}

namespace {

struct SavedRegion {
    uint64_t offset;
    uint64_t length;
    uint64_t at;  // where its bytes lie in the journal
};

struct JournalContents {
    bool begun = false;  // the header is whole: data.kaf may have been changed
    uint64_t dataLength = 0;
    FileIdentity oldIndex;
    std::optional<FileIdentity> newIndex;
    std::vector<SavedRegion> regions;
};

// One record of a journal whose header checked out; each Read* below returns where the next
// record starts, or nothing where the journal stops making sense.
struct RecordReader {
    RecordReader(int fd, uint64_t size, const uint8_t* salt, JournalContents& contents)
        : fd(fd), size(size), salt(salt), contents(contents) {}

    int fd;
    uint64_t size;
    const uint8_t* salt;
    JournalContents& contents;
    // Regions whose records the next seal covers; they count only once it is found.
    std::vector<SavedRegion> unsealed;
    std::vector<uint8_t> chunk = std::vector<uint8_t>(kChunkBytes);

    std::optional<uint64_t> ReadNewIndex(uint64_t at) {
        uint8_t record[44], expected[RollbackJournal::kCheckBytes];
        if (size - at < sizeof record + sizeof expected || !ReadAt(fd, record, sizeof record, at) ||
            !ReadAt(fd, expected, sizeof expected, at + sizeof record)) {
            return std::nullopt;
        }
        Check check(salt);
        check.Add(record, sizeof record);
        if (!check.Matches(expected)) return std::nullopt;
        FileIdentity index;
        index.length = LoadLittle64(record + 4);
        std::memcpy(index.digest.data(), record + 12, index.digest.size());
        contents.newIndex = index;
        return at + sizeof record + sizeof expected;
    }

    // An old-bytes record with its own check (as earlier versions wrote them). A read error
    // stops the whole recovery (failed).
    std::optional<uint64_t> ReadCheckedOldBytes(uint64_t at, bool& failed) {
        uint8_t head[20], expected[RollbackJournal::kCheckBytes];
        if (size - at < sizeof head || !ReadAt(fd, head, sizeof head, at)) return std::nullopt;
        uint64_t offset = LoadLittle64(head + 4);
        uint64_t length = LoadLittle64(head + 12);
        if (length > size - at - 20 || size - at - 20 - length < sizeof expected) {
            return std::nullopt;
        }
        Check check(salt);
        check.Add(head, sizeof head);
        for (uint64_t done = 0; done < length;) {
            size_t piece = static_cast<size_t>(std::min<uint64_t>(length - done, kChunkBytes));
            if (!ReadAt(fd, chunk.data(), piece, at + 20 + done)) failed = true;
            if (failed) return std::nullopt;
            check.Add(chunk.data(), piece);
            done += piece;
        }
        failed = !ReadAt(fd, expected, sizeof expected, at + 20 + length);
        if (failed || !check.Matches(expected)) return std::nullopt;
        contents.regions.push_back(SavedRegion{offset, length, at + 20});
        return at + 20 + length + sizeof expected;
    }

    std::optional<uint64_t> ReadSealedOldBytes(uint64_t at) {
        uint8_t head[20];
        if (size - at < sizeof head || !ReadAt(fd, head, sizeof head, at)) return std::nullopt;
        uint64_t offset = LoadLittle64(head + 4);
        uint64_t length = LoadLittle64(head + 12);
        if (length > size - at - 20) return std::nullopt;
        unsealed.push_back(SavedRegion{offset, length, at + 20});
        return at + 20 + length;
    }

    // A seal names its own place in the journal: one that checks out was written there, after
    // everything before it had been flushed.
    std::optional<uint64_t> ReadSeal(uint64_t at) {
        uint8_t seal[12], expected[RollbackJournal::kCheckBytes];
        if (size - at < sizeof seal + sizeof expected || !ReadAt(fd, seal, sizeof seal, at) ||
            !ReadAt(fd, expected, sizeof expected, at + sizeof seal)) {
            return std::nullopt;
        }
        Check check(salt);
        check.Add(seal, sizeof seal);
        if (!check.Matches(expected) || LoadLittle64(seal + 4) != at) return std::nullopt;
        contents.regions.insert(contents.regions.end(), unsealed.begin(), unsealed.end());
        unsealed.clear();
        return at + sizeof seal + sizeof expected;
    }
};

// Reads the journal up to its first part that does not check out. A header that does not
// check out was never flushed, so nothing was changed under it; neither was anything under
// records that no seal covers.
bool ReadJournal(int fd, uint64_t size, JournalContents& contents) {
    uint8_t header[RollbackJournal::kHeaderBytes];
    if (size < sizeof header || !ReadAt(fd, header, sizeof header, 0)) return true;
    const uint8_t* salt = header + 8;
    Check check(salt);
    check.Add(header, 72);
    if (std::memcmp(header, kMagic, sizeof kMagic) != 0 || !check.Matches(header + 72)) {
        return true;
    }
    contents.begun = true;
    contents.dataLength = LoadLittle64(header + 24);
    contents.oldIndex.length = LoadLittle64(header + 32);
    std::memcpy(contents.oldIndex.digest.data(), header + 40, FileIdentity::kDigestBytes);

    RecordReader reader(fd, size, salt, contents);
    bool failed = false;
    std::optional<uint64_t> at = sizeof header;
    while (at) {
        uint8_t kind[4];
        if (size - *at < sizeof kind || !ReadAt(fd, kind, sizeof kind, *at)) break;
        switch (LoadLittle32(kind)) {
            case RollbackJournal::kNewIndex:
                at = reader.ReadNewIndex(*at);
                break;
            case RollbackJournal::kOldBytes:
                at = reader.ReadCheckedOldBytes(*at, failed);
                break;
            case RollbackJournal::kSealedOldBytes:
                at = reader.ReadSealedOldBytes(*at);
                break;
            case RollbackJournal::kSeal:
                at = reader.ReadSeal(*at);
                break;
            default:
                at = std::nullopt;
        }
    }
    return !failed;
}

bool PutBack(int journal, const JournalContents& contents, const std::string& dataPath) {
    std::optional<uint64_t> dataSize = FileSize(dataPath);
    if (!dataSize) return false;
    FileHandle dataFile = OpenFile(dataPath, OpenMode::ReadWrite);
    if (!dataFile.IsOpen()) return false;
    const int data = dataFile.Get();
    std::vector<uint8_t> chunk(kChunkBytes);
    bool restored = true;
    // Latest first: where two records cover the same bytes, the earlier one is older.
    for (auto region = contents.regions.rbegin(); restored && region != contents.regions.rend();
         ++region) {
        for (uint64_t done = 0; restored && done < region->length;) {
            size_t piece =
                static_cast<size_t>(std::min<uint64_t>(region->length - done, kChunkBytes));
            restored = ReadAt(journal, chunk.data(), piece, region->at + done) &&
                       WriteAt(data, chunk.data(), piece, region->offset + done);
            done += piece;
        }
    }
    restored = restored && TruncateFile(data, contents.dataLength) && SyncFile(data);
    return dataFile.Close() && restored;
}

}  // namespace

JournalRecovery RecoverFromJournal(const std::string& journalPath, const std::string& indexPath,
                                   const std::string& dataPath) {
    std::optional<uint64_t> size = FileSize(journalPath);
    if (!size) return JournalRecovery::NoJournal;
    FileHandle journalFile = OpenFile(journalPath, OpenMode::ReadOnly);
    if (!journalFile.IsOpen()) return JournalRecovery::Failed;
    const int journal = journalFile.Get();
    JournalContents contents;
    if (!ReadJournal(journal, *size, contents)) return JournalRecovery::Failed;
    JournalRecovery result = JournalRecovery::RolledBack;
    std::optional<FileIdentity> index = contents.begun ? IdentifyFile(indexPath) : std::nullopt;
    std::optional<uint64_t> dataSize = FileSize(dataPath);
    if (!contents.begun) {
        result = JournalRecovery::RolledBack;  // nothing had been changed yet
    } else if (!index || !dataSize) {
        result =
            FileExists(indexPath) && dataSize ? JournalRecovery::Failed : JournalRecovery::Mismatch;
    } else if (*index == contents.oldIndex && *dataSize >= contents.dataLength) {
        bool inside = std::all_of(contents.regions.begin(), contents.regions.end(),
                                  [&](const SavedRegion& region) {
                                      return region.offset <= contents.dataLength &&
                                             region.length <= contents.dataLength - region.offset;
                                  });
        if (!inside) {
            result = JournalRecovery::Mismatch;
        } else if (!PutBack(journal, contents, dataPath)) {
            result = JournalRecovery::Failed;
        }
    } else if (contents.newIndex && *index == *contents.newIndex) {
        result = JournalRecovery::Committed;
    } else {
        result = JournalRecovery::Mismatch;
    }
    return result;
}

}  // namespace korvun
