#include "archive/game_archive.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "archive/file_identity.h"
#include "platform/file_io.h"

namespace korvun {

namespace {

constexpr char kSignature[3] = {'K', 'A', 'H'};
constexpr const char* kGameIndexName = "data.kah";
constexpr const char* kGameDataName = "data.kaf";
constexpr const char* kDeleteListName = "delete.lst";
// The stored name length includes the NUL and fits the 256-byte name buffers.
constexpr uint32_t kMaxNameLength = kMaxNameBytes + 1;
// Smallest records: name length, a one-byte name, then the fixed fields.
constexpr size_t kMinFileRecordBytes = 4 + 1 + 8 + 4 + 4;
constexpr size_t kMinFolderRecordBytes = 4 + 1 + 4 + 4;
constexpr size_t kMaxLoadNotes = 50;
// The deletion list is read the way fgets() with a 2048-byte buffer reads it.
constexpr size_t kDeleteLineChars = 2047;

bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

// After a record's name: offset (8 bytes), size (4) and the extra word (4).
constexpr size_t kRecordFieldBytes = 16;

ArchiveEntry RecordEntry(const GameArchive::RecordView& record) {
    return ArchiveEntry{std::string(record.name), LoadLittle64(record.fields),
                        LoadLittle32(record.fields + 8), LoadLittle32(record.fields + 12)};
}

}  // namespace

GameArchive::GameArchive(UpdaterWindow& window, StateMarkers& markers)
    : window_(window),
      markers_(markers),
      copyBuffer_(std::make_unique_for_overwrite<uint8_t[]>(kCopyBufferSize)) {}

GameArchive::~GameArchive() { CloseAll(); }

void GameArchive::CloseAll() {
    writeback_.Finish();
    CloseFile(gameDataFd_);
    CloseFile(updateDataFd_);
    CloseFile(gameIndexFd_);
    CloseFile(updateIndexFd_);
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
    if (record.name.size() + 1 != length && loadNotes_.size() < kMaxLoadNotes) {
        loadNotes_.push_back(std::string(what) + " name length " + std::to_string(length) +
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
    freeSpace_.LoadInReadOrder(std::move(records));
    return true;
}

void GameArchive::WriteFreeList(IndexWriter& out) {
    out.WriteU32(static_cast<uint32_t>(freeSpace_.Count()));
    freeSpace_.ForEach([&](const ArchiveEntry& record) { WriteRecord(out, record); });
}

bool GameArchive::LoadIndexBody(IndexReader& in, bool checkSignature) {
    char signature[sizeof kSignature];
    uint32_t count;
    if (!in.Read(signature, sizeof signature) || !in.ReadU32(gameHeaderWord_) ||
        !in.ReadU32(count) || !in.Read(headerBlock_, kHeaderBlockSize)) {
        loadError_ =
            "truncated header: an index needs at least " + std::to_string(kHeaderSize) + " bytes";
        return false;
    }
    if (checkSignature && std::memcmp(signature, kSignature, sizeof kSignature) != 0) {
        loadError_ = "signature is not KAH";
        return false;
    }
    gameFileCount_ = static_cast<int32_t>(count);
    if (!ReadFolder(in, gameRoot_) || !ReadFreeList(in)) return false;
    lostBytes_ = 0;
    if (!in.ReadU32(lostBytes_)) {
        loadError_ = "truncated trailer: the lost-bytes field is missing";
        return false;
    }
    if (in.Remaining() > 0 && loadNotes_.size() < kMaxLoadNotes) {
        loadNotes_.push_back(std::to_string(in.Remaining()) + " bytes follow the trailer");
    }
    return true;
}

bool GameArchive::LoadGameIndex(IndexReader& in) { return LoadIndexBody(in, true); }

bool GameArchive::LoadGameIndexFile(const std::string& path) {
    int fd = OpenFile(path, OpenMode::ReadOnly);
    if (fd < 0) {
        loadError_ = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    IndexReader in(fd);
    bool loaded = LoadGameIndex(in);
    CloseFile(fd);
    return loaded;
}

void GameArchive::WriteIndex(IndexWriter& out, uint32_t headerWord, int32_t fileCount) {
    out.Write(kSignature, sizeof kSignature);
    out.WriteU32(headerWord);
    out.WriteU32(static_cast<uint32_t>(fileCount));
    out.Write(headerBlock_, kHeaderBlockSize);
    WriteFolder(out, gameRoot_);
    WriteFreeList(out);
    out.WriteU32(lostBytes_);
}

bool GameArchive::SaveIndex(const std::string& path, uint32_t headerWord, int32_t fileCount,
                            RollbackJournal* journal) {
    CloseFile(gameIndexFd_);
    // The index is replaced by a rename, which would succeed over a write-protected file;
    // keep refusing to change an index that cannot be opened for writing.
    if (FileExists(path)) {
        int probe = OpenFile(path, OpenMode::ReadWrite);
        if (probe < 0) return false;
        CloseFile(probe);
    }
    // A crash must leave the old index or the new one, never a torn one.
    std::string temp = path + ".tmp";
    int fd = OpenFile(temp, OpenMode::WriteCreateTruncate);
    if (fd < 0) return false;
    // The index is flushed to disk next; starting its writes as it grows overlaps them with
    // the encoding of the rest.
    WritebackThread writeback;
    IndexWriter out(fd, &writeback);
    ContentHash hash;
    if (journal) out.Observe(&hash);
    WriteIndex(out, headerWord, fileCount);
    bool flushed = out.Flush();
    writeback.Finish();
    bool written = flushed && SyncFile(fd);
    CloseFile(fd);
    // The rename below is the commit point: whoever finds the journal afterwards must be able
    // to tell the new index from the old.
    written = written && (!journal || journal->RecordNewIndex(hash.Finish()));
    if (!written || !ReplaceFile(temp, path)) {
        DeleteFile(temp);
        return false;
    }
    return true;
}

void GameArchive::RemoveEntry(std::string_view path) {
    ArchiveFolder* folder = &gameRoot_;
    size_t start = 0;
    for (size_t i = 0; i < path.size(); ++i) {
        if (!IsPathSeparator(path[i])) continue;
        folder = folder->FindSubfolder(path.substr(start, i - start));
        if (!folder) return;
        start = i + 1;
    }
    std::optional<ArchiveEntry> removed = folder->TakeFile(path.substr(start));
    if (!removed) return;
    if (trackReleased_ && removed->size != 0 && removed->offset < UINT64_MAX - removed->size) {
        committedRegions_.Add(removed->offset, removed->offset + removed->size + 1);
    }
    // A file of size 0 occupies only its terminator byte, which is not worth a record.
    if (removed->size != 0) freeSpace_.Append(std::move(*removed));
    gameFileCount_ = static_cast<int32_t>(static_cast<uint32_t>(gameFileCount_) - 1);
}

void GameArchive::AddEntry(std::string_view path, ArchiveEntry entry) {
    // Names are UTF-8 on this platform, where no byte of a multi-byte character is a
    // backslash, so every backslash separates two components.
    ArchiveFolder* folder = &gameRoot_;
    size_t start = 0;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] != '\\') continue;
        std::string_view component = path.substr(start, i - start);
        ArchiveFolder* next = folder->FindSubfolder(component);
        folder = next ? next : &folder->AppendSubfolder(std::string(component));
        start = i + 1;
    }
    folder->AppendFile(std::move(entry));
}

bool GameArchive::LoadAndApplyDeleteList() {
    gameRoot_ = ArchiveFolder();
    freeSpace_.Clear();
    loadError_.clear();
    loadNotes_.clear();
    gameIndexPath_ = kGameIndexName;

    CloseFile(gameIndexFd_);
    gameIndexFd_ = OpenFile(gameIndexPath_, OpenMode::ReadOnly);
    if (gameIndexFd_ < 0) return false;
    IndexReader in(gameIndexFd_);
    // The deletion step has always accepted any signature; a malformed body is refused.
    bool loaded = LoadIndexBody(in, false);
    CloseFile(gameIndexFd_);
    if (!loaded) {
        // Nothing of a partly read index may reach the disk.
        gameRoot_ = ArchiveFolder();
        freeSpace_.Clear();
        return false;
    }

    int list = OpenFile(kDeleteListName, OpenMode::ReadOnly);
    if (list < 0) return true;
    std::string raw;
    char chunk[1 << 14];
    int64_t got;
    while ((got = ReadSome(list, chunk, sizeof chunk)) > 0) raw.append(chunk, size_t(got));
    CloseFile(list);
    // A list that could not be read whole is kept for the next run rather than half applied.
    if (got < 0) return false;

    // Read as a text stream: CR LF arrives as LF.
    std::string text;
    text.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        text.push_back(raw[i]);
    }
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = pos;
        while (end < text.size() && end - pos < kDeleteLineChars) {
            if (text[end++] == '\n') break;
        }
        std::string_view line(text.data() + pos, end - pos);
        pos = end;
        line = line.substr(0, line.find_first_of(std::string_view("\t\n\0", 3)));
        RemoveEntry(line);
    }
    modified_ = true;
    // Deleted once the index without its entries is saved: a list gone while the old index
    // is still in place would never be applied.
    deleteListApplied_ = true;
    return true;
}

bool GameArchive::SaveIfChanged() {
    bool trimmed = false;
    if (freeSpace_.Count() > kTrimAbove) {
        while (freeSpace_.Count() > kTrimTo) lostBytes_ += freeSpace_.PopFront().size;
        trimmed = true;
    }
    if (!modified_ && !trimmed) return true;
    if (gameIndexPath_.empty()) gameIndexPath_ = kGameIndexName;
    if (!SaveIndex(gameIndexPath_, gameHeaderWord_, gameFileCount_,
                   journal_.Active() ? &journal_ : nullptr)) {
        return false;
    }
    if (deleteListApplied_) DeleteFile(kDeleteListName);
    deleteListApplied_ = false;
    return true;
}

bool GameArchive::BeginChange() {
    // Without both files there is no archive to keep whole; the step fails as it always has.
    if (!FileExists(kGameIndexName) || !FileExists(kGameDataName)) return true;
    std::optional<uint64_t> dataLength = FileSize(kGameDataName);
    std::optional<FileIdentity> index = IdentifyFile(kGameIndexName);
    return dataLength && index && journal_.Begin(*dataLength, *index);
}

bool GameArchive::EndChange() { return !journal_.Active() || journal_.Remove(); }

}  // namespace korvun
