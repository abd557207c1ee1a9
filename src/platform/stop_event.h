// A manual-reset event: once set it stays set.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace korvun {

class StopEvent {
  public:
    void Set();
    // True when the event is set; waits up to timeoutMs for it (0 = just test).
    bool Wait(unsigned timeoutMs = 0) const;
    bool IsSet() const { return Wait(0); }

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool set_ = false;
};

// How many times any stop event of the process has been set, so that a test that requests a
// stop at a chosen moment can hold the run there until the request has arrived.
uint64_t StopEventsSetSoFar();

}  // namespace korvun
