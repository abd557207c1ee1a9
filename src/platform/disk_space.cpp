#include "platform/disk_space.h"

#include <sys/statvfs.h>

namespace korvun {

std::optional<uint64_t> FreeDiskSpace() {
    struct statvfs st;
    if (::statvfs(".", &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
}

}  // namespace korvun
