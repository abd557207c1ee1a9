#include <windows.h>

#include "platform/disk_space.h"

namespace korvun {

std::optional<uint64_t> FreeDiskSpace() {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(L".", &available, nullptr, nullptr)) return std::nullopt;
    return static_cast<uint64_t>(available.QuadPart);
}

}  // namespace korvun
