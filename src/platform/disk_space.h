// Free disk space of the volume that holds the current directory.
#pragma once

#include <cstdint>
#include <optional>

namespace korvun {

// Bytes available to the calling user (statvfs f_bavail * f_frsize, GetDiskFreeSpaceExW);
// nullopt on failure.
std::optional<uint64_t> FreeDiskSpace();

}  // namespace korvun
