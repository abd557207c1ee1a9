#include "app/stopwatch.h"

#include <chrono>

namespace korvun {

namespace {

class SteadyClockImpl : public Clock {
  public:
    int64_t Counter() const override {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    int64_t Frequency() const override { return 1000000000; }
};

}  // namespace

const Clock& SteadyClock() {
    static const SteadyClockImpl clock;
    return clock;
}

Stopwatch::Stopwatch(const Clock& clock)
    : clock_(&clock), frequency_(clock.Frequency()), start_(clock.Counter()) {}

void Stopwatch::Restart() { start_ = clock_->Counter(); }

double Stopwatch::Elapsed() const {
    return static_cast<double>(clock_->Counter() - start_) / static_cast<double>(frequency_);
}

}  // namespace korvun
