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
// Small records gather in memory and go out together, one write per batch of copies.
constexpr size_t kPendingLimit = 1 << 20;

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
    if (sodium_init() < 0) return false;
    CloseFile(fd_);
    pending_.clear();
    failed_ = false;
    savedBytes_ = 0;
    randombytes_buf(salt_, sizeof salt_);
    uint8_t header[kHeaderBytes];
    EncodeHeader(header, salt_, dataLength, committedIndex);
    // The journal keeps its descriptor between records; CloseFile below and in the
    // destructor end it.
    fd_ = OpenFile(path_, OpenMode::WriteCreateTruncate).Release();
    bool begun = fd_ != -1 && WriteFull(fd_, header, sizeof header) && SyncFile(fd_) &&
                 SyncParentDirectory(path_);
    if (!begun) CloseFile(fd_);
    return begun;
}

bool RollbackJournal::Append(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    pending_.insert(pending_.end(), bytes, bytes + size);
    return pending_.size() < kPendingLimit || WritePending();
}

bool RollbackJournal::WritePending() {
    if (!failed_ && !pending_.empty()) failed_ = !WriteFull(fd_, pending_.data(), pending_.size());
    pending_.clear();
    return !failed_;
}

bool RollbackJournal::SaveRegion(int dataFd, uint64_t offset, uint64_t length) {
    if (fd_ == -1 || failed_) return false;
    uint8_t head[20];
    StoreLittle32(head, kOldBytes);
    StoreLittle64(head + 4, offset);
    StoreLittle64(head + 12, length);
    Check check(salt_);
    check.Add(head, sizeof head);
    if (!Append(head, sizeof head)) return false;
    std::vector<uint8_t> chunk(static_cast<size_t>(std::min<uint64_t>(length, kChunkBytes)));
    for (uint64_t done = 0; done < length;) {
        size_t size = static_cast<size_t>(std::min<uint64_t>(length - done, kChunkBytes));
        if (!ReadAt(dataFd, chunk.data(), size, offset + done)) {
            failed_ = true;
            return false;
        }
        check.Add(chunk.data(), size);
        if (!Append(chunk.data(), size)) return false;
        done += size;
    }
    uint8_t tail[kCheckBytes];
    check.Finish(tail);
    savedBytes_ += length;
    return Append(tail, sizeof tail);
}

bool RollbackJournal::Sync() {
    if (fd_ == -1 || !WritePending()) return false;
    failed_ = !SyncFile(fd_);
    return !failed_;
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

// Reads the journal up to its first part that does not check out. A header that does not
// check out was never flushed, so nothing was changed under it.
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

    std::vector<uint8_t> chunk(kChunkBytes);
    uint64_t at = sizeof header;
    for (;;) {
        uint8_t head[4 + 8 + 32];
        if (size - at < 4 + RollbackJournal::kCheckBytes || !ReadAt(fd, head, 4, at)) break;
        uint32_t kind = LoadLittle32(head);
        Check record(salt);
        uint8_t expected[RollbackJournal::kCheckBytes];
        if (kind == RollbackJournal::kNewIndex) {
            if (size - at < 44 + sizeof expected || !ReadAt(fd, head, 44, at) ||
                !ReadAt(fd, expected, sizeof expected, at + 44)) {
                break;
            }
            record.Add(head, 44);
            if (!record.Matches(expected)) break;
            FileIdentity index;
            index.length = LoadLittle64(head + 4);
            std::memcpy(index.digest.data(), head + 12, index.digest.size());
            contents.newIndex = index;
            at += 44 + sizeof expected;
            continue;
        }
        if (kind != RollbackJournal::kOldBytes || size - at < 20 || !ReadAt(fd, head, 20, at)) {
            break;
        }
        uint64_t offset = LoadLittle64(head + 4);
        uint64_t length = LoadLittle64(head + 12);
        if (length > size - at - 20 || size - at - 20 - length < sizeof expected) break;
        record.Add(head, 20);
        bool read = true;
        for (uint64_t done = 0; read && done < length;) {
            size_t piece = static_cast<size_t>(std::min<uint64_t>(length - done, kChunkBytes));
            read = ReadAt(fd, chunk.data(), piece, at + 20 + done);
            record.Add(chunk.data(), piece);
            done += piece;
        }
        if (!read) return false;
        if (!ReadAt(fd, expected, sizeof expected, at + 20 + length)) return false;
        if (!record.Matches(expected)) break;
        contents.regions.push_back(SavedRegion{offset, length, at + 20});
        at += 20 + length + sizeof expected;
    }
    return true;
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
