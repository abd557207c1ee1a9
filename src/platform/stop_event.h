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

#ifdef KORVUN_FAULT_INJECTION
// Test builds only: how many times any stop event of the process has been set, so that a test
// point can hold the run until a stop request it knows of has arrived.
uint64_t StopEventsSetSoFar();
#endif

}  // namespace korvun
