// UTF-8 inside, UTF-16 at the edge: the conversions for the Windows system calls.
#pragma once

#include <string>

namespace korvun {

// UTF-8 to the UTF-16 that the wide Windows calls take; invalid bytes become U+FFFD.
std::wstring Widen(const std::string& utf8);

// UTF-16 from a wide Windows call back to UTF-8.
std::string Narrow(const std::wstring& wide);

}  // namespace korvun
