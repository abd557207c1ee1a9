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
        window_.ShowErrorText(failure.Message());
        std::lock_guard<std::mutex> lock(mutex_);
        last_ = failure;
    }
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
    mutable std::mutex mutex_;
    Status last_;
};

}  // namespace korvun
