// User messages with a code: a fixed text followed directly by a code such as "c01".
#pragma once

#include <string>

namespace korvun {

constexpr const char* kAppTitle = "Korvun Updater";

// Composes text + code into the one process-wide message buffer and returns it. The
// buffer keeps the message until the next composition.
const std::string& ComposeMessage(const std::string& text, const std::string& code);

}  // namespace korvun
