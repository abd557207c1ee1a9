// One record of a package's central directory.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace korvun {

constexpr uint32_t kCentralHeaderSignature = 0x02014B50;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagDataDescriptor = 0x0008;
constexpr uint16_t kFlagUtf8Names = 0x0800;
constexpr uint32_t kEntryDirectoryAttribute = 0x10;

struct CZipEntry {
    uint32_t signature = kCentralHeaderSignature;
    uint16_t versionMadeBy = 0;
    uint16_t versionNeeded = 0;
    uint16_t flags = 0;
    uint16_t method = kMethodDeflated;
    uint16_t modificationTime = 0;  // MS-DOS time
    uint16_t modificationDate = 0;  // MS-DOS date
    uint32_t crc32 = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint16_t diskNumberStart = 0;
    uint16_t internalAttributes = 0;
    uint32_t externalAttributes = 0x20;  // a Win32 attribute word: archive
    uint32_t localHeaderOffset = 0;
    std::string extraField;
    std::string fileName;           // after loading: UTF-8, '\\' separators
    uint16_t storedNameLength = 0;  // of the name as the record holds it, before conversion
    std::string comment;

    bool IsEncrypted() const { return (flags & kFlagEncrypted) != 0; }
    bool HasDataDescriptor() const { return (flags & kFlagDataDescriptor) != 0; }
    // The directory attribute, or a name that ends in a separator: writers that record Unix
    // modes only (libzip, say) mark directories by the name alone.
    bool IsDirectory() const {
        return (externalAttributes & kEntryDirectoryAttribute) != 0 ||
               (!fileName.empty() && (fileName.back() == '\\' || fileName.back() == '/'));
    }
    const std::string& Name() const { return fileName; }
    // The MS-DOS time and date as a local calendar time; -1 when it cannot be converted.
    std::time_t ModificationTime() const;
};

}  // namespace korvun
