// Test data for the game archive, made from the byte layout alone: an index writer, a data
// file builder, and a deliberately plain model of the merge and the deletion step (linear
// list walks, as the format's own description reads) to compare the real code against.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/state_markers.h"
#include "support/test_files.h"

namespace korvun::test {

struct RawRecord {
    std::string name;
    uint64_t offset = 0;
    uint32_t size = 0;
    uint32_t extraWord = 0;
    // Stored name length when it should not be name + NUL (malformed or odd files).
    std::optional<uint32_t> nameLength;
};

struct RawFolder {
    std::string name;
    std::vector<RawRecord> files;
    std::vector<RawFolder> folders;
    std::optional<int32_t> fileCount;    // stored instead of files.size()
    std::optional<int32_t> folderCount;  // stored instead of folders.size()
};

struct RawIndex {
    std::string signature = "KAH";
    uint32_t headerWord = 0;
    int32_t fileCount = 0;
    std::array<uint8_t, 40> headerBlock{};
    RawFolder root;
    std::vector<RawRecord> freeList;  // in stored order
    uint32_t lostBytes = 0;
};

// The index file bytes: 51-byte header, the tree depth first, free list, trailer.
std::string EncodeIndex(const RawIndex& index);
// Only the header and the tree, as an update index may end.
std::string EncodeIndexUpToTree(const RawIndex& index);
void AppendFolder(std::string& out, const RawFolder& folder);
void AppendRecord(std::string& out, const RawRecord& record);
void AppendU32(std::string& out, uint32_t value);
void AppendU64(std::string& out, uint64_t value);

// Builds an archive whose contents lie back to back, each followed by its terminator.
class ArchiveBuilder {
  public:
    // Adds a file at a path of "\"-separated folders, creating folders in order of first use.
    RawRecord& Add(const std::string& path, const std::string& content, uint32_t extraWord = 0);
    // Appends bytes to the data file that no entry uses (for free records to point at).
    uint64_t AddGap(size_t size, char fill = '#');

    RawIndex index;
    std::string data;
};

// Plain models of what the updater does, on in-memory archives.
void ModelMerge(RawIndex& game, std::string& gameData, const RawIndex& update,
                const std::string& updateData);
// Applies delete.lst text and the save rule; returns whether data.kah would be written.
bool ModelDeleteAndSave(RawIndex& game, const std::string* deleteList);
// Sorts a stored free list the way loading does (insertion before the first >= record).
std::vector<RawRecord> ModelLoadFreeList(const std::vector<RawRecord>& stored);

// Whether a file or directory is there (whole-file reads and writes: support/test_files.h).
bool PathExists(const std::string& path);

// State markers that record each write with the bytes of data.kah and data.kaf at that moment,
// so a test sees the order of marker writes relative to the archive's file writes.
class RecordingMarkers : public StateMarkers {
  public:
    struct Write {
        std::string marker;
        std::string indexBytes;
        std::string dataBytes;
    };
    bool MarkExtractStart() override { return Record("EXTRACT_START"); }
    bool MarkExtractEnd() override { return Record("EXTRACT_END"); }
    bool MarkUpdateStart() override { return Record("UPDATE_START"); }
    bool MarkUpdateEnd() override { return Record("UPDATE_END"); }
    bool ClearStateMarker() override { return Record(""); }
    std::vector<std::string> Markers() const;

    std::vector<Write> writes;
    std::string failing = "-";  // a marker whose write is recorded but reported as failed

  private:
    bool Record(const std::string& marker);
};

// A fresh directory under /tmp that the object makes current and removes again.
class ScopedGameDir {
  public:
    ScopedGameDir();
    ~ScopedGameDir();
    ScopedGameDir(const ScopedGameDir&) = delete;
    ScopedGameDir& operator=(const ScopedGameDir&) = delete;
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
    std::string previous_;
};

}  // namespace korvun::test
