#include <windows.h>

#include <cstdlib>

#include "platform/code_page.h"
#include "platform/wide.h"

namespace korvun {

namespace {

// The build may name a code page ("CP850"); otherwise the system's OEM code page applies.
UINT OemCodePage() {
#ifdef KORVUN_OEM_CODEPAGE
    const char* name = KORVUN_OEM_CODEPAGE;
    if ((name[0] == 'C' || name[0] == 'c') && (name[1] == 'P' || name[1] == 'p')) {
        if (UINT number = static_cast<UINT>(std::strtoul(name + 2, nullptr, 10))) return number;
    }
#endif
    return CP_OEMCP;
}

bool IsAscii(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

}  // namespace

std::string OemToUtf8(const std::string& oem) {
    if (IsAscii(oem)) return oem;
    int size =
        MultiByteToWideChar(OemCodePage(), 0, oem.data(), static_cast<int>(oem.size()), nullptr, 0);
    if (size <= 0) {
        std::string fallback = oem;
        for (char& c : fallback) {
            if (static_cast<unsigned char>(c) >= 0x80) c = '?';
        }
        return fallback;
    }
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(OemCodePage(), 0, oem.data(), static_cast<int>(oem.size()), wide.data(),
                        size);
    return Narrow(wide);
}

}  // namespace korvun
