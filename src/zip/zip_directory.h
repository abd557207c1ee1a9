// The central directory of a package: the end record, the list of entry records, and the
// positioning at one entry's data after checking its local header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zip/zip_entry.h"
#include "zip/zip_volumes.h"

namespace korvun {

class CZipDirectory {
  public:
    explicit CZipDirectory(CZipVolumes& volumes) : volumes_(volumes) {}

    void SetSearchBufferSize(uint32_t size) { searchBufferSize_ = size; }
    // Releases every record and the end record's values.
    void Clear();
    // Finds the end record, then reads every central record; raises on any inconsistency.
    void ReadDirectory();
    // The file offset of the end record signature nearest the end of the file.
    uint64_t FindEndRecord();

    const std::vector<CZipEntry>& Entries() const { return entries_; }
    uint64_t PrefixLength() const { return prefixLength_; }
    const std::string& Comment() const { return comment_; }

    // Positions the package at the data of entry index after checking its local header.
    void OpenEntryData(uint16_t index);
    // Ends reading the open entry; dataConsumed tells whether the file stands right after
    // its data, where a data descriptor would be.
    void CloseEntryData(bool dataConsumed);
    const CZipEntry* OpenEntry() const { return openEntry_; }

  private:
    void ReadEntryRecord(CZipEntry& entry);
    // Reads a variable-length field straight from the open volume file.
    std::string ReadField(uint16_t length);
    void ConvertName(CZipEntry& entry) const;

    CZipVolumes& volumes_;
    uint16_t thisDisk_ = 0;
    uint16_t centralDisk_ = 0;
    uint16_t entriesOnDisk_ = 0;
    uint16_t totalEntries_ = 0;
    uint32_t centralSize_ = 0;
    uint32_t centralOffset_ = 0;
    std::string comment_;
    uint64_t endRecordPosition_ = 0;
    uint64_t prefixLength_ = 0;
    std::vector<CZipEntry> entries_;
    const CZipEntry* openEntry_ = nullptr;
    std::string localExtraField_;
    bool readFromFile_ = false;
    bool convertNames_ = true;
    uint32_t searchBufferSize_ = 32768;
};

}  // namespace korvun
