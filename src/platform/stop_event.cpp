#include "platform/stop_event.h"

#include <chrono>

namespace korvun {

void StopEvent::Set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        set_ = true;
    }
    changed_.notify_all();
}

bool StopEvent::Wait(unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    if (timeoutMs == 0) return set_;
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
}

}  // namespace korvun
