// Which OEM code page a system locale implies.
#pragma once

#include <string>

namespace korvun {

// The OEM code page (as an iconv name, "CP850") that Wine gives a POSIX locale such as
// "de_DE.UTF-8", "sr_RS@latin" or "C": the one Windows uses for that language and region.
// Languages without an OEM code page of their own, and "C", get CP437.
std::string OemCodePageOfLocale(const std::string& locale);

// The locale that decides the character type: LC_ALL, LC_CTYPE, then LANG, the first that
// is set and not empty; "C" when none is.
std::string CharacterTypeLocale();

}  // namespace korvun
