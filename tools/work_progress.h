// Progress of an operator's long work (comparing trees, writing and reading back a package,
// copying packages onto the server), on standard error so that reports and JSON on standard
// output stay as they are: a live line on a terminal, a line every few seconds otherwise, and
// nothing at all for work that is over within the first seconds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/stopwatch.h"

namespace korvun::tool {

class WorkProgress {
  public:
    // shown false: the command prints for scripts (--json), which want no progress.
    explicit WorkProgress(bool shown = true);
    WorkProgress(bool shown, std::FILE* out, bool terminal, const Clock& clock);
    ~WorkProgress();  // clears a live line
    WorkProgress(const WorkProgress&) = delete;
    WorkProgress& operator=(const WorkProgress&) = delete;

    // What is being done now ("comparing the trees"), with done of total bytes.
    void Update(const std::string& what, uint64_t done, uint64_t total);

  private:
    bool shown_;
    std::FILE* out_;
    bool terminal_;
    bool live_ = false;     // a live line stands on the terminal
    bool printed_ = false;  // a line was printed: the next waits for the interval
    Stopwatch sinceStart_;
    Stopwatch sinceLine_;
};

}  // namespace korvun::tool
