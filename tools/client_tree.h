// A complete client tree as operators keep one per release and as a player's game directory
// holds it: loose files, plus the game archive data.kah/data.kaf at the top. Both the package
// builder and the client check read trees through this, so they agree on what a tree is:
// names compare without regard to the case of ASCII letters (as the client's file system
// and archive compare them), the updater's own bookkeeping files are not content, and
// empty directories and archive folders without files carry nothing.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/archive_tree.h"
#include "archive/game_archive.h"
#include "platform/file_io.h"

namespace korvun::tool {

struct LooseFile {
    std::string path;  // relative, '/'-separated, as spelt in the tree
    uint64_t size = 0;
};

struct ArchiveFile {
    std::string path;  // relative to the archive root, '\'-separated, as spelt in the index
    ArchiveEntry entry;
};

class ClientTree {
  public:
    // Reads the tree at root. False with a reason in Error() when it cannot be read as a
    // client tree: not a directory, no data.kah/data.kaf, a malformed index.
    bool Load(const std::string& root);

    const std::string& Root() const { return root_; }
    const std::string& Error() const { return error_; }
    // Things a tree should not hold, found while loading: two names that differ only in
    // case, symbolic links and other non-regular files, names that cannot be shipped.
    const std::vector<std::string>& Problems() const { return problems_; }

    // Keyed by the case-folded path.
    const std::map<std::string, LooseFile>& Loose() const { return loose_; }
    const std::map<std::string, ArchiveFile>& Archive() const { return archive_; }

    std::string LoosePath(const LooseFile& file) const { return root_ + "/" + file.path; }
    const std::string& DataFilePath() const { return dataPath_; }
    uint32_t HeaderWord() const { return headerWord_; }
    int32_t FileCount() const { return fileCount_; }
    const std::array<uint8_t, GameArchive::kHeaderBlockSize>& HeaderBlock() const {
        return headerBlock_;
    }

  private:
    void ScanDirectory(const std::string& relative);
    void CollectArchive(const ArchiveFolder& folder, const std::string& prefix);
    std::string FindTopLevel(const std::string& name) const;

    std::string root_;
    std::string error_;
    std::vector<std::string> problems_;
    std::map<std::string, LooseFile> loose_;
    std::map<std::string, ArchiveFile> archive_;
    std::string indexPath_;
    std::string dataPath_;
    uint32_t headerWord_ = 0;
    int32_t fileCount_ = 0;
    std::array<uint8_t, GameArchive::kHeaderBlockSize> headerBlock_{};
};

// Random access to a data file's contents, for comparing and copying entries.
class DataFile {
  public:
    explicit DataFile(const std::string& path);

    bool IsOpen() const { return file_.IsOpen(); }
    // Reads size bytes at offset; false when the file ends before them or a read fails.
    bool ReadAt(uint64_t offset, void* buffer, size_t size) const;
    int Descriptor() const { return file_.Get(); }

  private:
    FileHandle file_;
};

// Whether two archive entries hold the same bytes. A region that cannot be read counts as
// different; unreadable is set then.
bool SameEntryContent(const DataFile& a, const ArchiveEntry& ea, const DataFile& b,
                      const ArchiveEntry& eb, bool& unreadable);

}  // namespace korvun::tool
