#include "archive/game_archive.h"

#include "platform/file_io.h"

namespace korvun {

namespace {

bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

GameArchive::GameArchive(ClientDirectory client, StateMarkers& markers, ProgressSink* progress)
    : markers_(markers),
      progress_(progress),
      client_(std::move(client)),
      journal_(client_.Path(kJournalName)),
      copyBuffer_(std::make_unique_for_overwrite<uint8_t[]>(kCopyBufferSize)) {}

GameArchive::~GameArchive() { CloseAll(); }

void GameArchive::CloseAll() {
    writeback_.Finish();
    gameDataFd_.Reset();
    updateDataFd_.Reset();
    gameIndexFd_.Reset();
    updateIndexFd_.Reset();
}

void GameArchive::RemoveEntry(std::string_view path) {
    ArchiveFolder* folder = &game_.root;
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
    if (removed->size != 0) game_.freeSpace.Append(std::move(*removed));
    game_.fileCount = static_cast<int32_t>(static_cast<uint32_t>(game_.fileCount) - 1);
}

void GameArchive::AddEntry(std::string_view path, ArchiveEntry entry) {
    InsertEntry(game_.root, path, std::move(entry));
}

void GameArchive::InsertEntry(ArchiveFolder& root, std::string_view path, ArchiveEntry entry) {
    // Names are UTF-8 on this platform, where no byte of a multi-byte character is a
    // backslash, so every backslash separates two components.
    ArchiveFolder* folder = &root;
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

}  // namespace korvun
