#include "platform/disk_space.h"

#include <sys/statvfs.h>

#include <mutex>

namespace korvun {

namespace {

std::mutex queryMutex;
std::function<std::optional<uint64_t>()> testQuery;

}  // namespace

std::optional<uint64_t> FreeDiskSpace() {
    {
        std::lock_guard<std::mutex> lock(queryMutex);
        if (testQuery) return testQuery();
    }
    struct statvfs st;
    if (::statvfs(".", &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
}

void SetFreeDiskSpaceQueryForTesting(std::function<std::optional<uint64_t>()> query) {
    std::lock_guard<std::mutex> lock(queryMutex);
    testQuery = std::move(query);
}

}  // namespace korvun
