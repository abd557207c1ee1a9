// The console's figures: units of 1024 with their right names, and what stays on a narrow line.
#include "console/progress_line.h"

#include <cstdio>

#include <gtest/gtest.h>

#include "support/fake_clock.h"
#include "work_progress.h"

namespace korvun {
namespace {

TEST(ProgressLine, NarrowLinesKeepTheCounterAndStatusAndDropTheRestInOrder) {
    ProgressFacts facts;
    facts.status = "Downloading the file (1/2)";
    facts.fileFraction = facts.totalFraction = facts.percentFraction = 0.25;
    facts.downloading = true;
    facts.received = 768 << 10;
    facts.expected = 3 << 20;
    facts.bytesPerSecond = 1 << 20;
    facts.secondsLeft = 9;
    facts.windowSpeed = "(1048 Kb/s)";
    struct Case {
        size_t columns;
        std::string expected;
    };
    for (const Case& c : std::vector<Case>{
             {119,
              "[##--------] [##--------] 25% 0.8 / 3.0 MiB 1.0 MiB/s 0:09 left (1048 Kb/s)  "
              "Downloading the file (1/2)"},
             {79, "[##--------] 25% 0.8 / 3.0 MiB 1.0 MiB/s 0:09 left  Downloading the file (1/2)"},
             {49, "25% 0.8 / 3.0 MiB  Downloading the file (1/2)"},
             {30, "Downloading the file (1/2)"},
             {10, "Downloadin"},
         }) {
        EXPECT_EQ(FormatLiveLine(facts, c.columns), c.expected) << c.columns;
    }
    EXPECT_EQ(FormatProgressReport(facts),
              "Downloading the file (1/2): 0.8 / 3.0 MiB, 25%, 1.0 MiB/s, 0:09 left");
}

TEST(ProgressLine, RateOverTheLastSecondsStartsOverWithANewFile) {
    TransferRate rate;
    rate.Add(0.0, 0);
    rate.Add(0.5, 1000);
    EXPECT_EQ(rate.BytesPerSecond(), 0.0) << "less than a second measured";
    for (int second = 1; second <= 10; ++second) rate.Add(second, 1000u * second);
    EXPECT_DOUBLE_EQ(rate.BytesPerSecond(), 1000.0);
    rate.Add(11.0, 0);
    EXPECT_EQ(rate.BytesPerSecond(), 0.0);
}

// korvun-tool's progress: silent for short work, then a line every three seconds on a pipe.
TEST(ProgressLine, ToolWorkIsReportedOnAPipeAtMostEveryFewSeconds) {
    test::FakeClock clock;
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        tool::WorkProgress progress(true, out, false, clock);
        for (int tenth = 0; tenth <= 100; ++tenth) {  // ten seconds of work
            progress.Update("copying the packages", uint64_t(tenth) << 20, uint64_t{100} << 20);
            clock.Advance(0.1);
        }
        tool::WorkProgress quiet(false, out, false, clock);
        clock.Advance(10);
        quiet.Update("reading the package back", 1, 2);
    }
    std::rewind(out);
    std::string text;
    for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
    std::fclose(out);
    EXPECT_EQ(text,
              "copying the packages: 20.0 / 100.0 MiB (20%)\n"
              "copying the packages: 50.0 / 100.0 MiB (50%)\n"
              "copying the packages: 80.0 / 100.0 MiB (80%)\n");
}

}  // namespace
}  // namespace korvun
