// A ProgressSink for tests: records the announced total and what was counted, and can answer
// "stop" once a number of units has been counted.
#pragma once

#include <cstdint>

#include "platform/progress_sink.h"

namespace korvun::test {

class RecordingProgress : public ProgressSink {
  public:
    explicit RecordingProgress(uint64_t stopAt = UINT64_MAX) : stopAt_(stopAt) {}

    uint64_t total = 0;
    uint64_t done = 0;
    int begins = 0;
    uint64_t countedAfterStop = 0;  // units reported after the first "stop" answer

    void Begin(uint64_t size) override {
        total = size;
        done = 0;
        ++begins;
    }
    bool Advance(uint64_t count) override {
        if (done >= stopAt_) {
            countedAfterStop += count;
            return false;
        }
        done += count;
        return true;
    }

  private:
    uint64_t stopAt_;
};

}  // namespace korvun::test
