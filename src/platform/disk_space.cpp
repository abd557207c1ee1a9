#include "platform/disk_space.h"

#include <sys/statvfs.h>

namespace korvun {

std::optional<uint64_t> FreeDiskSpace(const std::string& native) {
    struct statvfs st;
    if (::statvfs(native.c_str(), &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
}

}  // namespace korvun
