#include "app/message_box.h"

#include <cstdio>

namespace korvun {

void PrintMessageBox(const std::string& text, const std::string& caption) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

}  // namespace korvun
