// Entry names of packages: OEM code page to UTF-8.
#pragma once

#include <string>

namespace korvun {

// Converts bytes from the OEM code page chosen at build time (KORVUN_OEM_CODEPAGE,
// default CP437) to UTF-8. Bytes that cannot be converted become '?'.
std::string OemToUtf8(const std::string& oem);

}  // namespace korvun
