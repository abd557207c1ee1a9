// How a download meets failures that may pass by themselves (a server restarting, a dropped
// connection): a few more attempts after growing pauses, which a stop request cuts short.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/inet.h"
#include "platform/stop_event.h"

namespace korvun {

// Failures worth another attempt: the connection refused, reset, cut or closed before any
// answer, or a time-out.
bool IsTransientFailure(const InternetError& error);
// Answers worth another attempt: the server's own failures (5xx).
bool IsTransientStatus(long httpStatus);

// The status line while a download waits to try again: "Retrying the download (1/3)".
std::string RetryingText(unsigned attempt, unsigned attempts);

class RetryPolicy {
  public:
    using Pauses = std::vector<std::chrono::milliseconds>;
    // About 1, 2 and 4 s: long enough for a restarting server, short enough for a player.
    static Pauses DefaultPauses();

    explicit RetryPolicy(Pauses pauses = DefaultPauses()) : pauses_(std::move(pauses)) {}
    void SetPauses(Pauses pauses) { pauses_ = std::move(pauses); }
    // No retry whose pause would end at or after deadline; nullopt lifts it.
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;
    void SetDeadline(Deadline deadline) { deadline_ = deadline; }
    // While off, a failure is final at once (an attempt that follows one which had its
    // retries must not have them all again).
    void SetEnabled(bool enabled) { enabled_ = enabled; }

    // A new request, or one that made progress since its last failure: every retry is
    // available again.
    void Reset() { used_ = 0; }
    bool CanRetry() const;
    // The number of the retry that Pause() precedes (1 for the first), and how many there are.
    unsigned NextAttempt() const { return static_cast<unsigned>(used_ + 1); }
    unsigned Attempts() const { return static_cast<unsigned>(pauses_.size()); }
    // Waits out the next pause and counts the retry; false when stop is set before it ends.
    bool Pause(const StopEvent& stop);

  private:
    Pauses pauses_;
    size_t used_ = 0;
    Deadline deadline_;
    bool enabled_ = true;
};

}  // namespace korvun
