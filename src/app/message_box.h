// Modal message boxes. Whoever shows one is handed a presenter by its front-end: the desktop
// program's shows a real box and waits for the player; without a window, boxes are printed.
#pragma once

#include <functional>
#include <string>

namespace korvun {

// Shows text in a box with the caption and returns when the user has closed it. May be
// called from any thread.
using MessageBoxPresenter =
    std::function<void(const std::string& text, const std::string& caption)>;

// The presenter of programs without a window: "CAPTION: TEXT" on standard error.
void PrintMessageBox(const std::string& text, const std::string& caption);

}  // namespace korvun
