// Free disk space of the volume that holds a directory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvun {

// Bytes available to the calling user on the volume of the directory native (statvfs
// f_bavail * f_frsize, GetDiskFreeSpaceExW); nullopt on failure.
std::optional<uint64_t> FreeDiskSpace(const std::string& native = ".");

}  // namespace korvun
