// The deletion step: entries named by delete.lst leave the game index, and the index is saved
// when anything changed.
#include <cerrno>
#include <cstring>

#include "archive/file_identity.h"
#include "archive/game_archive.h"
#include "platform/file_io.h"

namespace korvun {

namespace {

constexpr const char* kGameIndexName = "data.kah";
constexpr const char* kGameDataName = "data.kaf";
constexpr const char* kDeleteListName = "delete.lst";
// The deletion list is read the way fgets() with a 2048-byte buffer reads it.
constexpr size_t kDeleteLineChars = 2047;

}  // namespace

Status GameArchive::LoadAndApplyDeleteList() {
    game_.root = ArchiveFolder();
    game_.freeSpace.Clear();
    loadError_.clear();
    game_.notes.clear();
    gameIndexPath_ = client_.Path(kGameIndexName);

    gameIndexFd_ = OpenFile(gameIndexPath_, OpenMode::ReadOnly);
    if (!gameIndexFd_.IsOpen()) {
        return Status::Failure(std::string("cannot open ") + kGameIndexName + ": " +
                               std::strerror(errno));
    }
    IndexReader in(gameIndexFd_.Get());
    // The deletion step has always accepted any signature; a malformed body is refused.
    bool loaded = LoadIndexBody(in, false);
    gameIndexFd_.Reset();
    if (!loaded) {
        // Nothing of a partly read index may reach the disk.
        game_.root = ArchiveFolder();
        game_.freeSpace.Clear();
        return Status::Failure(loadError_);
    }

    FileHandle list = OpenFile(client_.Path(kDeleteListName), OpenMode::ReadOnly);
    if (!list.IsOpen()) return Status::Success();
    std::string raw;
    char chunk[1 << 14];
    int64_t got;
    while ((got = ReadSome(list.Get(), chunk, sizeof chunk)) > 0) raw.append(chunk, size_t(got));
    list.Reset();
    // A list that could not be read whole is kept for the next run rather than half applied.
    if (got < 0) return Status::Failure(std::string("cannot read ") + kDeleteListName);

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
    return Status::Success();
}

Status GameArchive::SaveIfChanged() {
    bool trimmed = false;
    if (game_.freeSpace.Count() > kTrimAbove) {
        while (game_.freeSpace.Count() > kTrimTo)
            game_.lostBytes += game_.freeSpace.PopFront().size;
        trimmed = true;
    }
    if (!modified_ && !trimmed) return Status::Success();
    if (gameIndexPath_.empty()) gameIndexPath_ = client_.Path(kGameIndexName);
    if (!SaveIndex(gameIndexPath_, journal_.Active() ? &journal_ : nullptr)) {
        return Status::Failure(std::string("cannot write ") + kGameIndexName + ": " +
                               std::strerror(errno));
    }
    if (deleteListApplied_) DeleteFile(client_.Path(kDeleteListName));
    deleteListApplied_ = false;
    return Status::Success();
}

bool GameArchive::BeginChange() { return OpenChange() && (!journal_.Active() || journal_.Sync()); }

bool GameArchive::OpenChange() {
    // Without both files there is no archive to keep whole; the step fails as it always has.
    const std::string indexPath = client_.Path(kGameIndexName);
    const std::string dataPath = client_.Path(kGameDataName);
    if (!FileExists(indexPath) || !FileExists(dataPath)) return true;
    std::optional<uint64_t> dataLength = FileSize(dataPath);
    std::optional<FileIdentity> index = IdentifyFile(indexPath);
    return dataLength && index && journal_.Open(*dataLength, *index);
}

bool GameArchive::EndChange() { return !journal_.Active() || journal_.Remove(); }

}  // namespace korvun
