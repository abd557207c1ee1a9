#include "app/messages.h"

namespace korvun {

namespace {
std::string messageBuffer;
}

const std::string& ComposeMessage(const std::string& text, const std::string& code) {
    messageBuffer = text;
    messageBuffer += code;
    return messageBuffer;
}

}  // namespace korvun
