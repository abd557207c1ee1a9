// The modal message box service. Front-ends install their own presenter; without one,
// boxes are printed to standard error as "CAPTION: TEXT".
#pragma once

#include <functional>
#include <string>

namespace korvun {

using MessageBoxPresenter =
    std::function<void(const std::string& text, const std::string& caption)>;

void SetMessageBoxPresenter(MessageBoxPresenter presenter);

// Shows text in a box captioned "Korvun Updater" (or caption) and returns when the user
// has closed it. May be called from any thread.
void ShowMessageBox(const std::string& text);
void ShowMessageBox(const std::string& text, const std::string& caption);

}  // namespace korvun
