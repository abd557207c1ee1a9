// User messages with a code: a fixed text followed directly by its code (player_codes.h).
#pragma once

#include <string>

namespace korvun {

constexpr const char* kAppTitle = "Korvun Updater";

// text + code, the way every coded message reads.
std::string ComposeMessage(const std::string& text, const std::string& code);

}  // namespace korvun
