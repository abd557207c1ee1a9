// Reading and writing the game archive's index (data.kah, update.kah): records, folders, the
// free-space list, and the durable save.
#include <cerrno>
#include <cstring>

#include "archive/file_identity.h"
#include "archive/game_archive.h"
#include "archive/state_markers.h"
#include "platform/file_io.h"

namespace korvun {

namespace {

constexpr char kSignature[3] = {'K', 'A', 'H'};
// The stored name length includes the NUL and fits the 256-byte name buffers.
constexpr uint32_t kMaxNameLength = kMaxNameBytes + 1;
// Smallest records: name length, a one-byte name, then the fixed fields.
constexpr size_t kMinFileRecordBytes = 4 + 1 + 8 + 4 + 4;
constexpr size_t kMinFolderRecordBytes = 4 + 1 + 4 + 4;
constexpr size_t kMaxLoadNotes = 50;

// After a record's name: offset (8 bytes), size (4) and the extra word (4).
constexpr size_t kRecordFieldBytes = 16;

}  // namespace

ArchiveEntry GameArchive::RecordEntry(const RecordView& record) {
    return ArchiveEntry{std::string(record.name), LoadLittle64(record.fields),
                        LoadLittle32(record.fields + 8), LoadLittle32(record.fields + 12)};
}

bool GameArchive::PeekRecord(IndexReader& in, size_t fieldBytes, const char* what,
                             RecordView& record) {
    uint64_t at = in.Position();
    const uint8_t* head = in.Peek(4);
    if (!head) {
        loadError_ =
            std::string("truncated ") + what + " name length at byte " + std::to_string(at);
        return false;
    }
    uint32_t length = LoadLittle32(head);
    if (length == 0 || length > kMaxNameLength) {
        loadError_ = std::string(what) + " name length " + std::to_string(length) + " at byte " +
                     std::to_string(at) + " is outside 1 to " + std::to_string(kMaxNameLength);
        return false;
    }
    const uint8_t* named = in.Peek(4 + length);
    if (!named) {
        loadError_ = std::string("truncated ") + what + " name at byte " + std::to_string(at + 4);
        return false;
    }
    size_t nameBytes = strnlen(reinterpret_cast<const char*>(named + 4), length);
    if (nameBytes > kMaxNameBytes) {
        loadError_ = std::string(what) + " name at byte " + std::to_string(at + 4) +
                     " has no terminator within 256 bytes";
        return false;
    }
    // Peeking further may move the bytes already seen.
    const uint8_t* whole = in.Peek(4 + length + fieldBytes);
    auto nameIn = [&](const uint8_t* bytes) {
        return std::string_view(reinterpret_cast<const char*>(bytes + 4), nameBytes);
    };
    if (!whole) {
        loadError_ = std::string("truncated ") + what + " record \"" +
                     std::string(nameIn(in.Peek(4 + length))) + "\"";
        return false;
    }
    record.name = nameIn(whole);
    record.fields = whole + 4 + length;
    record.bytes = 4 + length + fieldBytes;
    if (record.name.size() + 1 != length && game_.notes.size() < kMaxLoadNotes) {
        game_.notes.push_back(std::string(what) + " name length " + std::to_string(length) +
                              " at byte " + std::to_string(at) + " for a name of " +
                              std::to_string(record.name.size()) + " bytes");
    }
    return true;
}

bool GameArchive::ReadRecord(IndexReader& in, ArchiveEntry& entry, const char* what) {
    RecordView record;
    if (!PeekRecord(in, kRecordFieldBytes, what, record)) return false;
    entry = RecordEntry(record);
    in.Skip(record.bytes);
    return true;
}

bool GameArchive::ReadCount(IndexReader& in, uint32_t& count, size_t minRecordBytes,
                            const char* what) {
    uint64_t at = in.Position();
    if (!in.ReadU32(count)) {
        loadError_ = std::string("truncated ") + what + " count at byte " + std::to_string(at);
        return false;
    }
    if (uint64_t{count} * minRecordBytes > in.Remaining()) {
        loadError_ = std::string(what) + " count " + std::to_string(count) + " at byte " +
                     std::to_string(at) + " does not fit in the " + std::to_string(in.Remaining()) +
                     " bytes that follow";
        return false;
    }
    return true;
}

bool GameArchive::ReadFolder(IndexReader& in, ArchiveFolder& folder) {
    return ReadFolderAt(in, folder, 0);
}

bool GameArchive::ReadFolderAt(IndexReader& in, ArchiveFolder& folder, size_t depth) {
    if (depth > kMaxFolderDepth) {
        loadError_ = "folders nested deeper than " + std::to_string(kMaxFolderDepth) +
                     " levels at byte " + std::to_string(in.Position());
        return false;
    }
    RecordView named;
    if (!PeekRecord(in, 0, "folder", named)) return false;
    folder.name.assign(named.name);
    in.Skip(named.bytes);

    uint32_t rawFiles;
    if (!in.ReadU32(rawFiles)) {
        loadError_ = "truncated file count of folder \"" + folder.name + "\"";
        return false;
    }
    // Counts are signed: zero or less means none.
    int32_t files = static_cast<int32_t>(rawFiles);
    if (files > 0 && uint64_t(files) * kMinFileRecordBytes > in.Remaining()) {
        loadError_ = "file count " + std::to_string(files) + " of folder \"" + folder.name +
                     "\" does not fit in the " + std::to_string(in.Remaining()) +
                     " bytes that follow";
        return false;
    }
    if (files > 0) folder.ReserveFiles(static_cast<size_t>(files));
    for (int32_t i = 0; i < files; ++i) {
        RecordView record;
        if (!PeekRecord(in, kRecordFieldBytes, "file", record)) return false;
        folder.AppendFile(record.name, LoadLittle64(record.fields), LoadLittle32(record.fields + 8),
                          LoadLittle32(record.fields + 12));
        in.Skip(record.bytes);
    }

    uint32_t rawFolders;
    if (!in.ReadU32(rawFolders)) {
        loadError_ = "truncated subfolder count of folder \"" + folder.name + "\"";
        return false;
    }
    int32_t folders = static_cast<int32_t>(rawFolders);
    if (folders > 0 && uint64_t(folders) * kMinFolderRecordBytes > in.Remaining()) {
        loadError_ = "subfolder count " + std::to_string(folders) + " of folder \"" + folder.name +
                     "\" does not fit in the " + std::to_string(in.Remaining()) +
                     " bytes that follow";
        return false;
    }
    for (int32_t i = 0; i < folders; ++i) {
        ArchiveFolder& sub = folder.AppendSubfolder({});
        if (!ReadFolderAt(in, sub, depth + 1)) return false;
    }
    return true;
}

void GameArchive::WriteRecord(IndexWriter& out, const ArchiveEntry& entry) {
    size_t nameBytes = entry.name.size() + 1;
    uint8_t* record = out.Reserve(4 + nameBytes + kRecordFieldBytes);
    StoreLittle32(record, static_cast<uint32_t>(nameBytes));
    std::memcpy(record + 4, entry.name.c_str(), nameBytes);
    uint8_t* fields = record + 4 + nameBytes;
    StoreLittle64(fields, entry.offset);
    StoreLittle32(fields + 8, entry.size);
    StoreLittle32(fields + 12, entry.extraWord);
}

void GameArchive::WriteFolder(IndexWriter& out, const ArchiveFolder& folder) {
    out.WriteU32(static_cast<uint32_t>(folder.name.size() + 1));
    out.Write(folder.name.c_str(), folder.name.size() + 1);
    out.WriteU32(static_cast<uint32_t>(folder.Files().size()));
    for (const ArchiveEntry& entry : folder.Files()) WriteRecord(out, entry);
    out.WriteU32(static_cast<uint32_t>(folder.Subfolders().size()));
    for (const ArchiveFolder& sub : folder.Subfolders()) WriteFolder(out, sub);
}

bool GameArchive::ReadFreeList(IndexReader& in) {
    uint32_t count;
    if (!ReadCount(in, count, kMinFileRecordBytes, "free-space")) return false;
    std::vector<ArchiveEntry> records(count);
    for (ArchiveEntry& record : records) {
        if (!ReadRecord(in, record, "free-space")) return false;
    }
    game_.freeSpace.LoadInReadOrder(std::move(records));
    return true;
}

void GameArchive::WriteFreeList(IndexWriter& out, const FreeSpaceList& freeSpace) {
    out.WriteU32(static_cast<uint32_t>(freeSpace.Count()));
    freeSpace.ForEach([&](const ArchiveEntry& record) { WriteRecord(out, record); });
}

bool GameArchive::ReadHeader(IndexReader& in, bool checkSignature, IndexHeader& header) {
    char signature[sizeof kSignature];
    if (!in.Read(signature, sizeof signature) || !in.ReadU32(header.word) ||
        !in.ReadU32(header.fileCount) || !in.Read(header.block, kHeaderBlockSize)) {
        loadError_ =
            "truncated header: an index needs at least " + std::to_string(kHeaderSize) + " bytes";
        return false;
    }
    if (checkSignature && std::memcmp(signature, kSignature, sizeof kSignature) != 0) {
        loadError_ = "signature is not KAH";
        return false;
    }
    return true;
}

bool GameArchive::LoadIndexBody(IndexReader& in, bool checkSignature) {
    IndexHeader header;
    if (!ReadHeader(in, checkSignature, header)) return false;
    game_.headerWord = header.word;
    game_.fileCount = static_cast<int32_t>(header.fileCount);
    std::memcpy(game_.headerBlock.data(), header.block, kHeaderBlockSize);
    if (!ReadFolder(in, game_.root) || !ReadFreeList(in)) return false;
    game_.lostBytes = 0;
    if (!in.ReadU32(game_.lostBytes)) {
        loadError_ = "truncated trailer: the lost-bytes field is missing";
        return false;
    }
    if (in.Remaining() > 0 && game_.notes.size() < kMaxLoadNotes) {
        game_.notes.push_back(std::to_string(in.Remaining()) + " bytes follow the trailer");
    }
    return true;
}

bool GameArchive::LoadGameIndex(IndexReader& in) { return LoadIndexBody(in, true); }

std::optional<ArchiveIndex> GameArchive::ReadIndex(IndexReader& in, std::string* reason) {
    NoStateMarkers markers;
    GameArchive archive(ClientDirectory("."), markers);
    if (!archive.LoadGameIndex(in)) {
        if (reason != nullptr) *reason = archive.loadError_;
        return std::nullopt;
    }
    return std::move(archive.game_);
}

std::optional<ArchiveIndex> GameArchive::ReadIndexFile(const std::string& path,
                                                       std::string* reason) {
    FileHandle file = OpenFile(path, OpenMode::ReadOnly);
    if (!file.IsOpen()) {
        if (reason != nullptr) *reason = "cannot open " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    IndexReader in(file.Get());
    return ReadIndex(in, reason);
}

void GameArchive::WriteIndex(IndexWriter& out, const ArchiveIndex& index) {
    out.Write(kSignature, sizeof kSignature);
    out.WriteU32(index.headerWord);
    out.WriteU32(static_cast<uint32_t>(index.fileCount));
    out.Write(index.headerBlock.data(), kHeaderBlockSize);
    WriteFolder(out, index.root);
    WriteFreeList(out, index.freeSpace);
    out.WriteU32(index.lostBytes);
}

bool GameArchive::SaveIndex(const std::string& path, RollbackJournal* journal) {
    gameIndexFd_.Reset();
    return SaveIndexFile(path, game_, journal);
}

bool GameArchive::SaveIndexFile(const std::string& path, const ArchiveIndex& index,
                                RollbackJournal* journal) {
    // The index is replaced by a rename, which would succeed over a write-protected file;
    // keep refusing to change an index that cannot be opened for writing.
    if (FileExists(path) && !OpenFile(path, OpenMode::ReadWrite).IsOpen()) return false;
    // A crash must leave the old index or the new one, never a torn one.
    std::string temp = path + ".tmp";
    FileHandle file = OpenFile(temp, OpenMode::WriteCreateTruncate);
    if (!file.IsOpen()) return false;
    // The index is flushed to disk next; starting its writes as it grows overlaps them with
    // the encoding of the rest.
    WritebackThread writeback;
    IndexWriter out(file.Get(), &writeback);
    ContentHash hash;
    if (journal) out.Observe(&hash);
    WriteIndex(out, index);
    bool flushed = out.Flush();
    writeback.Finish();
    bool written = flushed && SyncFile(file.Get());
    written = file.Close() && written;
    // The rename below is the commit point: whoever finds the journal afterwards must be able
    // to tell the new index from the old.
    written = written && (!journal || journal->RecordNewIndex(hash.Finish()));
    if (!written || !ReplaceFile(temp, path)) {
        DeleteFile(temp);
        return false;
    }
    return true;
}

}  // namespace korvun
