// A test-only record of what the window shows: when KORVUN_TRACE_TEXTS names a file, every
// text the player would see is appended to it as "what<TAB>text". Tests read the window's
// texts from it; without the variable nothing is written.
#pragma once

#include <string>

namespace korvun {

void TraceText(const std::string& what, const std::string& text);

}  // namespace korvun
