#include <windows.h>

#include "platform/system_dir.h"
#include "platform/wide.h"

namespace korvun {

std::optional<std::string> SystemDirectory() {
    wchar_t buffer[MAX_PATH];
    UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::nullopt;
    return Narrow(std::wstring(buffer, length));
}

}  // namespace korvun
