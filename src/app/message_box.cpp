#include "app/message_box.h"

#include <cstdio>
#include <mutex>

#include "app/messages.h"

namespace korvun {

namespace {

std::mutex presenterMutex;
MessageBoxPresenter presenter;

}  // namespace

void SetMessageBoxPresenter(MessageBoxPresenter newPresenter) {
    std::lock_guard<std::mutex> lock(presenterMutex);
    presenter = std::move(newPresenter);
}

void ShowMessageBox(const std::string& text) { ShowMessageBox(text, kAppTitle); }

void ShowMessageBox(const std::string& text, const std::string& caption) {
    MessageBoxPresenter current;
    {
        std::lock_guard<std::mutex> lock(presenterMutex);
        current = presenter;
    }
    // The presenter is called without the lock: a modal box may wait for the user for long.
    if (current) {
        current(text, caption);
    } else {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }
}

}  // namespace korvun
