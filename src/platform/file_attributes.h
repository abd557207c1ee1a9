// File attributes and times as a package entry describes them.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace korvun {

constexpr uint32_t kAttributeReadOnly = 0x01;
constexpr uint32_t kAttributeDirectory = 0x10;

// Applies a ZIP entry's external attributes to an existing file or directory. DOS
// read-only clears the write bits; when the entry was made on Unix (host byte 3 of
// version-made-by) the high 16 bits are the mode and are applied, without the set-uid and
// set-gid bits. Directories always get 0755, so extraction can continue into them. False on
// failure.
bool ApplyFileAttributes(const std::string& name, uint32_t externalAttributes,
                         uint16_t versionMadeBy);

// Sets the last-write time (and the access time to now). There is no creation time here.
bool SetLastWriteTime(const std::string& name, std::time_t lastWrite);

}  // namespace korvun
