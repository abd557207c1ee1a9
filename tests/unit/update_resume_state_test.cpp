// Where a download begins after an earlier run left part of the file, and the record beside
// the partial file that makes that safe.
#include <gtest/gtest.h>

#include "platform/file_io.h"
#include "support/nginx_fixture.h"
#include "update/resume_state.h"

namespace korvun {
namespace {

using Kind = ResumePlan::Kind;

TEST(ResumePlanTest, BytesOnDiskAreUsedOnlyUnderTheSameFileAndSize) {
    const ResumeRecord record{1000, "\"5f-3e8\""};
    struct Case {
        const char* name;
        std::optional<ResumeRecord> record;
        std::optional<uint64_t> localSize;
        uint64_t announced;
        std::string validator;
        Kind kind;
        uint64_t offset;
    } cases[] = {
        {"no record", std::nullopt, 400, 1000, "\"5f-3e8\"", Kind::StartOver, 0},
        {"no local file", record, std::nullopt, 1000, "\"5f-3e8\"", Kind::StartOver, 0},
        {"empty local file", record, 0, 1000, "\"5f-3e8\"", Kind::StartOver, 0},
        {"size changed", record, 400, 1001, "\"5f-3e8\"", Kind::StartOver, 0},
        {"validator changed", record, 400, 1000, "\"60-3e8\"", Kind::StartOver, 0},
        {"local longer than the file", record, 1001, 1000, "\"5f-3e8\"", Kind::StartOver, 0},
        {"part of it", record, 400, 1000, "\"5f-3e8\"", Kind::Continue, 400},
        // The answer named no validator: If-Range with the recorded one still guards it.
        {"answer without validator", record, 400, 1000, "", Kind::Continue, 400},
        {"all of it", record, 1000, 1000, "\"5f-3e8\"", Kind::Complete, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResumePlan plan = PlanResume(c.record, c.localSize, c.announced, c.validator);
        EXPECT_EQ(plan.kind, c.kind);
        EXPECT_EQ(plan.offset, c.offset);
        if (c.kind != Kind::StartOver) {
            EXPECT_EQ(plan.validator, record.validator);
        }
    }
}

TEST(ResumeRecordTest, RoundTripsAndRefusesWhatItDidNotWrite) {
    test::GameDirectory game;
    EXPECT_FALSE(LoadResumeRecord("pk0002.patch"));
    ASSERT_TRUE(
        SaveResumeRecord("pk0002.patch", {123456789012ull, "Tue, 08 Dec 2026 10:00:00 GMT"}));
    EXPECT_TRUE(FileExists("pk0002.patch.validator"));
    std::optional<ResumeRecord> loaded = LoadResumeRecord("pk0002.patch");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->totalSize, 123456789012ull);
    EXPECT_EQ(loaded->validator, "Tue, 08 Dec 2026 10:00:00 GMT");

    // A record cut short by a crash, or anything else in its place, is no record.
    for (const char* text : {"", "1000\n", "1000\n\"abc\"", "-5\n\"abc\"\n", "x\n\"abc\"\n",
                             "1000\n\n", "99999999999999999999\n\"abc\"\n"}) {
        SCOPED_TRACE(text);
        game.Write("pk0002.patch.validator", text);
        EXPECT_FALSE(LoadResumeRecord("pk0002.patch"));
    }
    DiscardResumeRecord("pk0002.patch");
    EXPECT_FALSE(FileExists("pk0002.patch.validator"));
}

}  // namespace
}  // namespace korvun
