#include "platform/stop_event.h"

#include <atomic>
#include <chrono>

namespace korvun {

namespace {
std::atomic<uint64_t> stopEventsSet{0};
}  // namespace

uint64_t StopEventsSetSoFar() { return stopEventsSet.load(); }

void StopEvent::Set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        set_ = true;
    }
    ++stopEventsSet;
    changed_.notify_all();
}

bool StopEvent::Wait(unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    if (timeoutMs == 0) return set_;
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
}

}  // namespace korvun
