// The worker's failure messages: each goes to the window's error status line, and the last is
// kept for the run's outcome.
#pragma once

#include <mutex>
#include <string>

#include "app/updater_window.h"
#include "platform/status.h"

namespace korvun {

class RunReport {
  public:
    explicit RunReport(UpdaterWindow& window) : window_(window) {}

    // Shows failure.Message() as the error status line and keeps it as the run's last failure.
    void Error(const Status& failure) {
        if (!holding_) window_.ShowErrorText(failure.Message());
        std::lock_guard<std::mutex> lock(mutex_);
        last_ = failure;
    }
    // A transport failure's system text in a box.
    void Box(const std::string& text) {
        if (!holding_) window_.ShowMessageBox(text);
    }
    // While held, failures are kept for the outcome but nothing is shown: an attempt that
    // another attempt may follow tells the player nothing of its own failure.
    void Hold(bool holding) { holding_ = holding; }
    void Error(std::string text, std::string code = {}) {
        Error(Status::Failure(std::move(text), std::move(code)));
    }
    Status LastError() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        last_ = Status();
    }

  private:
    UpdaterWindow& window_;
    bool holding_ = false;  // used by the worker alone
    mutable std::mutex mutex_;
    Status last_;
};

}  // namespace korvun
