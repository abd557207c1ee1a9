#include <windows.h>

#include "platform/disk_space.h"
#include "platform/wide.h"

namespace korvun {

std::optional<uint64_t> FreeDiskSpace(const std::string& native) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(Widen(native).c_str(), &available, nullptr, nullptr)) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(available.QuadPart);
}

}  // namespace korvun
