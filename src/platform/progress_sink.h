// How long-running library work (extracting a package, merging an archive) reports its
// progress and learns that its caller wants it to stop, without knowing who is watching.
#pragma once

#include <cstdint>

namespace korvun {

class ProgressSink {
  public:
    virtual ~ProgressSink() = default;
    // The work about to be done, in the units that Advance counts (bytes, files).
    virtual void Begin(uint64_t total) = 0;
    // count more units are done (0 only asks). False asks the work to stop at its next stop
    // point; work that must not stop halfway says so and goes on.
    virtual bool Advance(uint64_t count) = 0;
};

}  // namespace korvun
