// A clock the test moves by hand.
#pragma once

#include <atomic>

#include "app/stopwatch.h"

namespace korvun::test {

class FakeClock : public Clock {
  public:
    int64_t Counter() const override { return counter_.load(); }
    int64_t Frequency() const override { return 1000000; }  // microseconds
    void Advance(double seconds) { counter_ += static_cast<int64_t>(seconds * 1e6 + 0.5); }

  private:
    std::atomic<int64_t> counter_{1000000};
};

}  // namespace korvun::test
