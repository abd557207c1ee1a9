// Writes a fresh archive pair (an index like data.kah or update.kah and its data file) with
// the updater's own index code: entries go into the tree through GameArchive::InsertEntry, the
// way a merge inserts them, and the index is saved by GameArchive::SaveIndexFile.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "archive/game_archive.h"
#include "platform/file_io.h"
#include "tool_support.h"

namespace korvun::tool {

class DataFile;

class ArchivePairWriter {
  public:
    ArchivePairWriter();
    ~ArchivePairWriter();
    ArchivePairWriter(const ArchivePairWriter&) = delete;
    ArchivePairWriter& operator=(const ArchivePairWriter&) = delete;

    // Creates the data file (the index path with its last character replaced by 'f').
    bool Open(const std::string& indexPath, std::string& error);
    // Adds a file at a '\'-separated path with the given content.
    bool Add(const std::string& path, std::string_view content, uint32_t extraWord,
             std::string& error);
    // Adds a file whose content is size bytes at offset of another archive's data file.
    bool AddFrom(const std::string& path, const DataFile& source, uint64_t offset, uint32_t size,
                 uint32_t extraWord, std::string& error);
    // Flushes the data file and writes the index with these header values.
    bool Finish(uint32_t headerWord, const uint8_t* headerBlock, std::string& error);

    int32_t Count() const { return count_; }

  private:
    bool Append(const char* data, size_t size);
    bool Insert(const std::string& path, uint32_t size, uint32_t extraWord, std::string& error);

    ArchiveIndex index_;
    std::string indexPath_;
    std::string dataPath_;
    FileHandle dataFile_;
    uint64_t offset_ = 0;
    uint64_t entryStart_ = 0;
    int32_t count_ = 0;
};

}  // namespace korvun::tool
