// Looking for the running game by its top-level window.
#pragma once

#include <string>

namespace korvun {

// True when a top-level window of class windowClass titled title exists (FindWindowA on
// Windows). On X11 ($DISPLAY; no display means no window) the title is WM_NAME or
// _NET_WM_NAME. A Win32 program run by Wine shows its file name as WM_CLASS ("game.exe")
// instead of its window class, so there a titled window also counts when its process
// (_NET_WM_PID) runs program, the file StartProcess would start for that name ("Game.exe").
bool FindTopLevelWindow(const std::string& windowClass, const std::string& title,
                        const std::string& program);

}  // namespace korvun
