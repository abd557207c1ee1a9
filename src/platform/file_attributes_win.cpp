#include <windows.h>

#include "platform/file_attributes.h"
#include "platform/wide.h"

namespace korvun {

namespace {

// The DOS attribute bits a package may carry onto a file.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

}  // namespace

bool ApplyFileAttributes(const std::string& name, uint32_t externalAttributes, uint16_t) {
    const std::wstring wide = Widen(name);
    DWORD current = GetFileAttributesW(wide.c_str());
    if (current == INVALID_FILE_ATTRIBUTES) return false;
    // The updater must always be able to extract into its directories.
    if (current & FILE_ATTRIBUTE_DIRECTORY) return true;
    DWORD attributes = externalAttributes & kKeptAttributes;
    return SetFileAttributesW(wide.c_str(), attributes ? attributes : FILE_ATTRIBUTE_NORMAL) != 0;
}

bool SetLastWriteTime(const std::string& name, std::time_t lastWrite) {
    // FILE_FLAG_BACKUP_SEMANTICS lets the same call set a directory's time.
    HANDLE file = CreateFileW(Widen(name).c_str(), FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    // FILETIME counts 100 ns steps from 1601; time_t counts seconds from 1970.
    ULARGE_INTEGER ticks;
    ticks.QuadPart = (static_cast<uint64_t>(lastWrite) + 11644473600ull) * 10000000ull;
    FILETIME write{ticks.LowPart, ticks.HighPart};
    bool ok = SetFileTime(file, nullptr, nullptr, &write) != 0;
    CloseHandle(file);
    return ok;
}

}  // namespace korvun
