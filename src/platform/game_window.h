// Looking for the running game by its top-level window.
#pragma once

#include <string>

namespace korvun {

// True when the X display ($DISPLAY) has a top-level window of class windowClass titled
// title (WM_NAME or _NET_WM_NAME). No display means no game window.
bool FindTopLevelWindow(const std::string& windowClass, const std::string& title);

}  // namespace korvun
