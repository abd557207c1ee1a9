#include "app/messages.h"

namespace korvun {

std::string ComposeMessage(const std::string& text, const std::string& code) { return text + code; }

}  // namespace korvun
