#include <windows.h>

#include <mutex>

#include "platform/disk_space.h"

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
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(L".", &available, nullptr, nullptr)) return std::nullopt;
    return static_cast<uint64_t>(available.QuadPart);
}

void SetFreeDiskSpaceQueryForTesting(std::function<std::optional<uint64_t>()> query) {
    std::lock_guard<std::mutex> lock(queryMutex);
    testQuery = std::move(query);
}

}  // namespace korvun
