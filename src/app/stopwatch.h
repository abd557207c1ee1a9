// A performance-counter stopwatch with an injectable clock, so that the window's throttles
// can be tested without sleeping.
#pragma once

#include <cstdint>

namespace korvun {

class Clock {
  public:
    virtual ~Clock() = default;
    virtual int64_t Counter() const = 0;    // QueryPerformanceCounter
    virtual int64_t Frequency() const = 0;  // QueryPerformanceFrequency
};

// std::chrono::steady_clock in nanoseconds.
const Clock& SteadyClock();

class Stopwatch {
  public:
    explicit Stopwatch(const Clock& clock = SteadyClock());
    void Restart();
    double Elapsed() const;  // seconds since construction or the last Restart()

  private:
    const Clock* clock_;
    int64_t frequency_;
    int64_t start_;
};

}  // namespace korvun
