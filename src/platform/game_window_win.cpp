#include <windows.h>

#include "platform/game_window.h"

namespace korvun {

bool FindTopLevelWindow(const std::string& windowClass, const std::string& title,
                        const std::string&) {
    return FindWindowA(windowClass.c_str(), title.c_str()) != nullptr;
}

}  // namespace korvun
