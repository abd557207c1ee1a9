#include "app/updater_window.h"

#include <gtest/gtest.h>

#include "app/messages.h"
#include "support/fake_clock.h"
#include "support/recording_window.h"

namespace korvun {
namespace {

using test::FakeClock;
using test::RecordingWindow;

class UpdaterWindowTest : public ::testing::Test {
  protected:
    FakeClock clock;
    RecordingWindow window{clock};
};

TEST_F(UpdaterWindowTest, ByteCounterIsThrottledUnlessForced) {
    window.SetPatchPhase(true);
    clock.Advance(0.3);
    window.ShowByteCounter(10, 100, false);
    EXPECT_EQ(window.ByteCounter(), "10 / 100");

    clock.Advance(0.1);
    window.ShowByteCounter(20, 100, false);
    EXPECT_EQ(window.ByteCounter(), "10 / 100") << "a second call within 0.2 s changes nothing";

    window.ShowByteCounter(30, 100, true);
    EXPECT_EQ(window.ByteCounter(), "30 / 100") << "force shows it 0.1 s after the previous one";

    clock.Advance(0.2);
    window.ShowByteCounter(40, 100, false);
    EXPECT_EQ(window.ByteCounter(), "30 / 100") << "exactly 0.2 s is still too soon";
    clock.Advance(0.01);
    window.ShowByteCounter(50, 100, false);
    EXPECT_EQ(window.ByteCounter(), "50 / 100");
}

TEST_F(UpdaterWindowTest, ByteCounterNeedsPatchPhaseOrUpdaterReplacement) {
    window.ShowByteCounter(1, 2, true);
    EXPECT_EQ(window.ByteCounter(), "");
    window.SetReplaceUpdater(true);
    window.ShowByteCounter(1, 2, true);
    EXPECT_EQ(window.ByteCounter(), "1 / 2");
    window.ShowByteCounter(int64_t{5} << 32, int64_t{6} << 32, true);
    EXPECT_EQ(window.ByteCounter(), "21474836480 / 25769803776");
}

TEST_F(UpdaterWindowTest, SpeedIsTheMeanOfOneSecondSamples) {
    window.SetPatchPhase(true);
    window.SetFileCount(3);
    window.BeginFileProgress(1000000, 0);
    EXPECT_EQ(window.Speed(), "(Kb/s)");

    clock.Advance(0.5);
    window.UpdateSpeed(100000, 2048);
    EXPECT_EQ(window.Speed(), "(Kb/s)") << "no sample before a full second";
    clock.Advance(0.5);
    window.UpdateSpeed(100000, 2048);
    EXPECT_EQ(window.Speed(), "(Kb/s)") << "exactly 1.0 s is not more than a second";

    clock.Advance(1.0);  // 2.0 s since the start: 300000 bytes / 2 s = 150 Kb/s
    window.UpdateSpeed(300000, 2048);
    EXPECT_EQ(window.Speed(), "(150 Kb/s)");

    clock.Advance(0.5);
    window.UpdateSpeed(999999, 2048);
    EXPECT_EQ(window.Speed(), "(150 Kb/s)") << "the clock was restarted by the sample";

    clock.Advance(0.75);  // 1.25 s since the sample: 100000 / 1.25 = 80000 B/s; mean 115000
    window.UpdateSpeed(400000, 2048);
    EXPECT_EQ(window.Speed(), "(115 Kb/s)");
}

TEST_F(UpdaterWindowTest, BeginFileProgressResetsSpeedStatistics) {
    window.SetPatchPhase(true);
    window.SetFileCount(2);
    window.BeginFileProgress(100, 0);
    clock.Advance(2.0);
    window.UpdateSpeed(4000000, 2048);
    EXPECT_EQ(window.Speed(), "(2000 Kb/s)");
    window.NextFile();
    window.BeginFileProgress(100, 0);
    EXPECT_EQ(window.Status(), "Downloading the file (2/2)");
    clock.Advance(2.0);
    window.UpdateSpeed(2000, 2048);
    EXPECT_EQ(window.Speed(), "(1 Kb/s)") << "the mean starts over with each file";
}

TEST_F(UpdaterWindowTest, DownloadTextOutsideThePatchPhase) {
    window.ClearSpeedText();
    window.BeginFileProgress(10, 0);
    EXPECT_EQ(window.Status(), "Downloading the file");
    EXPECT_EQ(window.Speed(), "") << "the speed text is left alone";
}

TEST_F(UpdaterWindowTest, ErrorMovesTheStatusLineOnceAndForAll) {
    window.SetPatchPhase(true);
    window.ShowByteCounter(1, 2, true);
    window.ShowSpeed(5000);
    window.ShowError("%s%s", "Download Failed: Cannot read the file.", "c25");
    EXPECT_EQ(window.Status(), "Download Failed: Cannot read the file.c25");
    EXPECT_EQ(window.ByteCounter(), "");
    EXPECT_EQ(window.Speed(), "");
    EXPECT_TRUE(window.StatusLineMoved());
    window.SetStatusText("Download ready");
    EXPECT_TRUE(window.StatusLineMoved()) << "later texts stay at the upper place";
    auto events = window.Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "status line moved"), 1);
}

TEST_F(UpdaterWindowTest, ErrorTextIsNotAFormat) {
    window.ShowErrorText("100% done %s %n");
    EXPECT_EQ(window.Status(), "100% done %s %n");
}

TEST_F(UpdaterWindowTest, RetriesGiveTheStatusLineBackOnlyWhenTheyRecovered) {
    window.SetPatchPhase(true);
    window.SetFileCount(2);
    window.BeginFileProgress(100, 0);
    window.ShowRetrying("Retrying the download (1/3)");
    window.ShowRetrying("Retrying the download (2/3)");
    window.EndRetrying(true);
    EXPECT_EQ(window.Status(), "Downloading the file (1/2)") << "the text from before the first";

    window.ShowRetrying("Retrying the download (1/3)");
    window.EndRetrying(false);
    EXPECT_EQ(window.Status(), "Retrying the download (1/3)") << "the next step shows its own";
    window.SetStatusText("Extracting");
    window.ShowRetrying("Retrying the download (1/3)");
    window.EndRetrying(true);
    EXPECT_EQ(window.Status(), "Extracting") << "an abandoned retry's text is not kept";
    size_t shown = window.StatusHistory().size();
    window.EndRetrying(true);
    EXPECT_EQ(window.StatusHistory().size(), shown) << "nothing to give back twice";
}

TEST_F(UpdaterWindowTest, CompletedTextDependsOnTheRun) {
    window.ShowCompleted();
    EXPECT_EQ(window.Status(), "Completed");
    EXPECT_TRUE(window.StartEnabled());
    window.SetUpdatedThisRun(true);
    window.ShowCompleted();
    EXPECT_EQ(window.Status(), "Update Completed");
    EXPECT_EQ(window.FileGauge().FillWidth(), RecordingWindow::kGaugeWidth);
    EXPECT_EQ(window.TotalGauge().FillWidth(), RecordingWindow::kGaugeWidth);
}

TEST_F(UpdaterWindowTest, ReinstallShowsC05AndKeepsTheGameClosed) {
    window.ShowCompleted();
    window.ShowReinstall();
    EXPECT_EQ(window.Status(), "Please install the client again.c05");
    EXPECT_FALSE(window.StartEnabled());
    EXPECT_EQ(window.FileGauge().FillWidth(), RecordingWindow::kGaugeWidth);
}

TEST_F(UpdaterWindowTest, FileCountAndIndex) {
    window.SetPatchPhase(true);
    window.SetFileCount(12);
    window.NextFile();
    window.NextFile();
    window.BeginFileProgress(1, 0);
    EXPECT_EQ(window.Status(), "Downloading the file (3/12)");
    window.SetFileCount(4);
    EXPECT_EQ(window.FileIndex(), 0);
}

TEST(ComposeMessageTest, JoinsTextAndCodeWithoutSeparator) {
    EXPECT_EQ(ComposeMessage("Updator already in operation.", "c01"),
              "Updator already in operation.c01");
    EXPECT_EQ(ComposeMessage("a", "c23-1"), "ac23-1");
}

}  // namespace
}  // namespace korvun
