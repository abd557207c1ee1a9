// Entry names of packages: OEM code page to UTF-8.
#pragma once

#include <string>

namespace korvun {

// Converts bytes from the OEM code page to UTF-8. The code page is the one the build names
// (KORVUN_OEM_CODEPAGE) or else the system's: CP_OEMCP on Windows, elsewhere the one Wine
// gives the locale (OemCodePageOfLocale). Bytes that cannot be converted become '?'.
std::string OemToUtf8(const std::string& oem);

}  // namespace korvun
