// Free disk space of the volume that holds the current directory.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace korvun {

// Bytes available to the calling user (statvfs f_bavail * f_frsize); nullopt on failure.
std::optional<uint64_t> FreeDiskSpace();

// Tests replace the query; an empty function restores the real one.
void SetFreeDiskSpaceQueryForTesting(std::function<std::optional<uint64_t>()> query);

}  // namespace korvun
