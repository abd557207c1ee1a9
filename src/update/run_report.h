// The worker's failure messages: each is reported as a run event, and the last is kept for
// the run's outcome.
#pragma once

#include <mutex>
#include <string>

#include "app/run_events.h"
#include "platform/status.h"

namespace korvun {

class RunReport {
  public:
    explicit RunReport(RunEvents& events) : events_(events) {}

    // Reports failure and keeps it as the run's last failure.
    void Error(const Status& failure) {
        if (!holding_) events_.ReportError(failure);
        std::lock_guard<std::mutex> lock(mutex_);
        last_ = failure;
    }
    // A transport failure's system text in a box.
    void Box(const std::string& text) {
        if (!holding_) events_.ShowMessageBox(text);
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
    RunEvents& events_;
    bool holding_ = false;  // used by the worker alone
    mutable std::mutex mutex_;
    Status last_;
};

}  // namespace korvun
