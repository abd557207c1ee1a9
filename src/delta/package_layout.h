// The package a delta rebuilds: the full package's entries, each stored rather than deflated,
// under the full package's own directory records (names, times, attributes, CRC-32). The
// extraction gives the same files from it as from the full package.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvun::delta {

struct LayoutEntry {
    std::string name;  // as the ZIP names it
    uint32_t crc32 = 0;
    uint64_t size = 0;
    uint64_t dataOffset = 0;  // where its bytes go in the rebuilt package
};

class PackageLayout {
  public:
    // Lays the entries of centralDirectory out one after another. False with error when a
    // record is damaged, encrypted, needs ZIP64, or the package would pass 4 GiB.
    bool Plan(const std::string& centralDirectory, std::string& error);

    const std::vector<LayoutEntry>& Entries() const { return entries_; }
    uint64_t TotalBytes() const { return total_; }
    // Writes every local header, the directory and its end record into fd (sized already).
    bool WriteRecords(int fd) const;

  private:
    struct Record {
        std::string central;  // the directory record as the rebuilt package has it
        std::string local;
        uint64_t localOffset = 0;
    };
    std::vector<LayoutEntry> entries_;
    std::vector<Record> records_;
    uint64_t directoryOffset_ = 0;
    uint64_t directoryBytes_ = 0;
    uint64_t total_ = 0;
};

// The central directory of the ZIP file at path, verbatim; false with error.
bool ReadCentralDirectory(const std::string& path, std::string& directory, std::string& error);

}  // namespace korvun::delta
