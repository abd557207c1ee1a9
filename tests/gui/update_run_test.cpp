// Whole runs of the desktop program against a real nginx: a completed update with full
// gauges and the game started from the window, and a close in the middle of a download.
#include <thread>

#include "gui/updater_fixture.h"

namespace korvun::test {
namespace {

const std::string kExposeProbe = KORVUN_EXPOSE_PROBE;

// Builds a patch package with Python's zipfile: entries of the given sizes (deflated), or one
// stored entry of size bytes.
class UpdateRunTest : public UpdaterWindowTest {
  protected:
    void SetUp() override {
        UpdaterWindowTest::SetUp();
        WriteFileBytes(game_ + "/Version.ini",
                       "[Version]\r\nCheckVersion=3\r\nCurrentVersion=1\r\nStartUpdate=\r\n");
        server_.WriteFile("patch/UpdateVersion.ini",
                          "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=1\r\n"
                          "PatchFileVersion=3\r\n");
        // The game: records how it was started.
        WriteFileBytes(game_ + "/Game.exe",
                       "#!/bin/sh\necho \"$@\" > " + root_.Path() + "/game-args.txt\n");
        chmod((game_ + "/Game.exe").c_str(), 0755);
    }

    void WritePackage(int number, const std::string& entryName, uint64_t size) {
        char name[32];
        std::snprintf(name, sizeof name, "pk%04d.patch", number);
        std::string path = server_.Root() + "/patch/patch/" + name;
        int status = -1;
        display_.Run({"python3", "-c",
                      "import os, sys, zipfile\n"
                      "path, entry, size = sys.argv[1], sys.argv[2], int(sys.argv[3])\n"
                      "block = bytes(range(256)) * 4096\n"
                      "os.makedirs(os.path.dirname(path), exist_ok=True)\n"
                      "with zipfile.ZipFile(path, 'w', zipfile.ZIP_STORED) as z:\n"
                      "    with z.open(entry, 'w') as f:\n"
                      "        while size > 0:\n"
                      "            f.write(block[:min(size, len(block))])\n"
                      "            size -= min(size, len(block))\n",
                      path, entryName, std::to_string(size)},
                     &status);
        ASSERT_EQ(status, 0) << path;
    }

    // The worker of this build cannot run: nothing of a run can be seen.
    bool WorkerMissing() { return WaitForTrace(Trace(), "status\tstart thread error", 3s); }
};

TEST_F(UpdateRunTest, CompletedUpdateFillsTheGaugesAndTheStartButtonStartsTheGame) {
    WritePackage(2, "Data\\readme.txt", 300000);
    WritePackage(3, "Data\\notes.txt", 200000);
    std::unique_ptr<Process> updater;
    ASSERT_FALSE(StartWindow(&updater).empty());
    if (WorkerMissing()) GTEST_SKIP() << "this build's worker cannot be started";

    ASSERT_TRUE(WaitForTrace(Trace(), "status\tUpdate Completed", 60s));
    ASSERT_TRUE(WaitForTrace(Trace(), "start_button\tenabled"));
    EXPECT_NE(ReadFileBytes(Trace()).find("status\tDownloading the file (2/2)"), std::string::npos);
    EXPECT_NE(ReadFileBytes(game_ + "/Version.ini").find("CurrentVersion=3"), std::string::npos);
    EXPECT_TRUE(FileExists(game_ + "/Data/notes.txt"));

    // Both gauges full, the start button in its normal picture.
    Image fileFill = ReadBmp(kSkin + "182-gauge-file.bmp");
    Image totalFill = ReadBmp(kSkin + "183-gauge-total.bmp");
    Image startNormal = ReadBmp(kSkin + "168-start-normal.bmp");
    EXPECT_TRUE(WaitForPicture("update_completed", kLeft + 39, kTop + 495, fileFill));
    EXPECT_TRUE(WaitForPicture("update_completed", kLeft + 39, kTop + 506, totalFill));
    EXPECT_TRUE(WaitForPicture("update_completed", kLeft + 579, kTop + 486, startNormal));

    Mouse(kLeft + 579 + 74, kTop + 486 + 19);
    display_.Xdotool({"click", "1"});
    EXPECT_EQ(updater->Wait(10s), std::optional<int>(0));
    // The shell creates the file before echo writes to it: wait for the text, not the file.
    EXPECT_TRUE(
        WaitUntil([&] { return !ReadFileBytes(root_.Path() + "/game-args.txt").empty(); }, 5s));
    EXPECT_EQ(ReadFileBytes(root_.Path() + "/game-args.txt"), "start game\n");
}

TEST_F(UpdateRunTest, ClosingDuringADownloadEndsPromptlyAndKeepsTheAppliedVersion) {
    // Never applied: the download is closed long before its end. A sparse file keeps a large
    // package cheap for the server's disk, and large enough to outlast the measurements.
    const uint64_t kSize = 1536ull << 20;
    WritePackage(3, "Data\\small.txt", 1000);
    server_.WriteFile("patch/patch/pk0002.patch", "PK");
    ASSERT_EQ(truncate((server_.Root() + "/patch/patch/pk0002.patch").c_str(), kSize), 0);
    Image background = ReadBmp(kSkin + "167-background.bmp");
    Rgb expected = background.At(300, 460);
    char colour[8];
    std::snprintf(colour, sizeof colour, "%02x%02x%02x", expected.r, expected.g, expected.b);
    const int closeX = kLeft + 713 + 13, closeY = kTop + 10 + 12;
    Mouse(closeX, closeY);

    std::unique_ptr<Process> updater;
    ASSERT_FALSE(StartWindow(&updater).empty());
    if (WorkerMissing()) GTEST_SKIP() << "this build's worker cannot be started";
    // The package file on disk says when the download runs; the window's texts lag behind.
    const std::string package = game_ + "/pk0002.patch";
    auto downloading = [&] {
        struct stat status {};
        return stat(package.c_str(), &status) == 0 && status.st_size > 0 &&
               static_cast<uint64_t>(status.st_size) < kSize;
    };
    ASSERT_TRUE(WaitUntil(downloading, 30s));

    // While the package streams in, the window repaints an uncovered area at once.
    std::string elapsed = display_.Run({kExposeProbe, std::to_string(kLeft + 250),
                                        std::to_string(kTop + 456), "100", "8", colour});
    ASSERT_TRUE(downloading()) << "the download ended before the window could be measured";
    ASSERT_NE(elapsed.find('.'), std::string::npos) << elapsed;
    EXPECT_LT(std::stod(elapsed), 100.0) << "milliseconds from expose to repaint";
    std::printf("repaint %.1f ms after an expose, during a download\n", std::stod(elapsed));

    display_.Screenshot("update_downloading");

    auto closed = std::chrono::steady_clock::now();
    display_.Xdotool({"click", "1"});
    EXPECT_EQ(updater->Wait(20s), std::optional<int>(0));
    auto took = std::chrono::steady_clock::now() - closed;
    std::printf("closed %.0f ms after the click\n",
                std::chrono::duration<double, std::milli>(took).count());
    EXPECT_LT(took, 1s);

    EXPECT_TRUE(downloading()) << "the partly downloaded package stays";
    EXPECT_NE(ReadFileBytes(game_ + "/Version.ini").find("CurrentVersion=1"), std::string::npos);
}

}  // namespace
}  // namespace korvun::test
