// Applies a fuzzed update archive and deletion list to a small game archive, the way a patch
// package does: update.kah, update.kaf and delete.lst come from the input, the merge and the
// deletion step run on real files in a scratch directory. Whatever the input, the index left
// on disk must load again and every entry must lie inside data.kaf.
//
// Input: u16 length of update.kah, u16 length of update.kaf, then those bytes, and the rest is
// delete.lst.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "archive/game_archive.h"
#include "archive/state_markers.h"
#include "platform/file_io.h"
#include "support/archive_writer.h"

namespace {

struct GameFiles {
    std::string index;
    std::string data;
};

// A game archive with nested folders, twins that differ in case only, and free space.
GameFiles MakeGame() {
    korvun::test::ArchiveBuilder builder;
    builder.Add("data\\item\\sword.dds", std::string(300, 's'));
    builder.Add("data\\item\\Shield.dds", std::string(40, 'h'));
    builder.Add("data\\map\\m0.map", std::string(1000, 'm'));
    builder.Add("DATA\\ITEM\\sword.dds", "twin");
    builder.Add("ui.txt", "ui");
    uint64_t gap = builder.AddGap(500);
    builder.index.freeList.push_back({"", gap, 499, 0, {}});
    return {korvun::test::EncodeIndex(builder.index), builder.data};
}

std::string scratchDirectory;

void RemoveScratchDirectory() {
    for (const char* name : {"data.kah", "data.kaf", "data.kah.tmp", "update.kah", "update.kaf",
                             "update.log", "delete.lst"}) {
        unlink((scratchDirectory + "/" + name).c_str());
    }
    rmdir(scratchDirectory.c_str());
}

// The scratch directory becomes the current directory once, for the whole run.
void EnterScratchDirectory() {
    static bool entered = false;
    if (entered) return;
    // Memory-backed when possible: every merge ends with an fsync of the index.
    std::string pattern = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                          "/korvun-fuzz-apply-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) abort();
    scratchDirectory = pattern;
    std::atexit(RemoveScratchDirectory);
    entered = true;
}

void Write(const char* name, const void* bytes, size_t size) {
    korvun::FileHandle file = korvun::OpenFile(name, korvun::OpenMode::WriteCreateTruncate);
    if (!file.IsOpen() || !korvun::WriteFull(file.Get(), bytes, size) || !file.Close()) abort();
}

void CheckInside(const korvun::ArchiveFolder& folder, uint64_t dataSize) {
    for (const korvun::ArchiveEntry& entry : folder.Files()) {
        if (entry.offset + entry.size > dataSize) abort();
    }
    for (const korvun::ArchiveFolder& sub : folder.Subfolders()) CheckInside(sub, dataSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static korvun::NoStateMarkers markers;
    static const GameFiles game = MakeGame();
    EnterScratchDirectory();
    if (size < 4) return 0;
    size_t indexSize = data[0] | (data[1] << 8);
    size_t dataSize = data[2] | (data[3] << 8);
    data += 4;
    size -= 4;
    indexSize = std::min(indexSize, size);
    dataSize = std::min(dataSize, size - indexSize);

    Write("data.kah", game.index.data(), game.index.size());
    Write("data.kaf", game.data.data(), game.data.size());
    Write("update.kah", data, indexSize);
    Write("update.kaf", data + indexSize, dataSize);
    Write("delete.lst", data + indexSize + dataSize, size - indexSize - dataSize);

    {
        korvun::GameArchive merge(korvun::ClientDirectory("."), markers);
        merge.MergeUpdateArchive();
    }
    {
        korvun::GameArchive deletion(korvun::ClientDirectory("."), markers);
        if (deletion.LoadAndApplyDeleteList()) deletion.SaveIfChanged();
    }

    // Whatever happened, the index on disk is one that loads, and points inside the data.
    std::optional<korvun::ArchiveIndex> result =
        korvun::GameArchive::ReadIndexFile("data.kah", nullptr);
    if (!result) abort();
    CheckInside(result->root, korvun::FileSize("data.kaf").value_or(0));
    return 0;
}
