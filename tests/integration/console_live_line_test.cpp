// The live line on a terminal: the console updater runs in a tmux pane while a slow server
// sends it a package, and the pane is read back while the bars fill.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "integration/update_scenario.h"

namespace korvun::test {
namespace {

const std::string kConsolePath = KORVUN_CONSOLE_PATH;

// tmux from PATH, or empty when it is not installed.
std::string TmuxPath() {
    const char* path = std::getenv("PATH");
    std::string directories = path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= directories.size();) {
        size_t end = directories.find(':', start);
        if (end == std::string::npos) end = directories.size();
        std::string candidate = directories.substr(start, end - start) + "/tmux";
        if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The number of filled cells in the first bar of a live line, or -1 if there is none.
int FileBarCells(const std::string& line) {
    size_t open = line.find('[');
    size_t close = line.find(']', open);
    if (open == std::string::npos || close == std::string::npos) return -1;
    std::string bar = line.substr(open + 1, close - open - 1);
    if (bar.find_first_not_of("#-") != std::string::npos) return -1;
    return static_cast<int>(std::count(bar.begin(), bar.end(), '#'));
}

class LiveLineTest : public UpdateScenario {
  protected:
    ~LiveLineTest() override {
        if (started_) Tmux({"kill-server"});
    }

    // Runs tmux with this test's private server socket.
    ProgramResult Tmux(std::vector<std::string> args) {
        args.insert(args.begin(), {tmux_, "-L", socket_});
        return RunProgram(args, root_.Path(), 10s);
    }

    // Starts the console in a pane of columns x 10 cells; the run's exit status appears in
    // StatusFile() when it ends.
    void StartInPane(int columns) {
        std::string status = StatusFile();
        std::string command = "env -u DISPLAY";
        for (const std::string& assignment : ConsoleEnvironment()) {
            command += " " + Quote(assignment);
        }
        command += " " + Quote(kConsolePath) + " -C " + Quote(GamePath()) + "; echo $? > " +
                   Quote(status + ".tmp") + " && mv " + Quote(status + ".tmp") + " " +
                   Quote(status) + "; sleep 60";
        ProgramResult started =
            Tmux({"new-session", "-d", "-x", std::to_string(columns), "-y", "10", command});
        ASSERT_EQ(started.status, std::optional<int>(0)) << started.err;
        started_ = true;
    }
    std::string StatusFile() const { return root_.Path() + "/live-status"; }

    const std::string tmux_ = TmuxPath();
    std::string socket_ = "korvun-live-" + std::to_string(getpid());
    bool started_ = false;
};

TEST_F(LiveLineTest, BarsAdvanceWhileAPackageDownloads) {
    if (tmux_.empty()) GTEST_SKIP() << "tmux is not installed";
    const std::string payload(3 << 20, 'x');
    TrickleServer slow(1 << 20);
    slow.WriteFile("patch/UpdateVersion.ini",
                   "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=1\r\nPatchFileVersion=2\r\n");
    slow.WriteFile("patch/patch/pk0002.patch",
                   BuildPackage({{"Data/payload.bin", payload, false}}));
    PointAt(slow.Address());
    WriteLocalVersion(1);

    std::string status = StatusFile();
    ASSERT_NO_FATAL_FAILURE(StartInPane(120));

    // Frames of the live line while the package streams in.
    std::vector<std::string> frames;
    std::vector<int> fills;
    WaitUntil(
        [&] {
            ProgramResult pane = Tmux({"capture-pane", "-p"});
            std::string line = pane.out.substr(0, pane.out.find('\n'));
            int cells = FileBarCells(line);
            if (line.find("Downloading the file (1/1)") != std::string::npos && cells >= 0 &&
                (fills.empty() || cells != fills.back())) {
                frames.push_back(line);
                fills.push_back(cells);
            }
            return std::ifstream(status).good();
        },
        30s);
    ASSERT_TRUE(std::ifstream(status).good()) << "the run did not end";
    EXPECT_EQ(ReadFileBytes(status), "0\n");

    ProgramResult pane = Tmux({"capture-pane", "-p"});
    EXPECT_NE(pane.out.find("Update Completed"), std::string::npos) << pane.out;
    ASSERT_GE(frames.size(), 3u) << "too few distinct frames";
    for (size_t i = 1; i < fills.size(); ++i) EXPECT_GT(fills[i], fills[i - 1]) << frames[i];
    EXPECT_NE(frames.front(), frames.back());
    // Something a reader can see.
    std::string middle = frames[frames.size() / 2];
    RecordProperty("frame", middle);
    std::printf("live line: %s\n", middle.c_str());
    EXPECT_NE(middle.find(" / 3"), std::string::npos) << "byte counter: " << middle;
    EXPECT_NE(middle.find("Kb/s)"), std::string::npos) << "speed: " << middle;
}

// Two packages through a slow server: at 80 and at 50 columns the package counter and the
// status stay visible beside the sizes in MiB.
TEST_F(LiveLineTest, NarrowTerminalsKeepTheCounterAndTheStatus) {
    if (tmux_.empty()) GTEST_SKIP() << "tmux is not installed";
    const std::string payload(3 << 19, 'x');
    TrickleServer slow(1 << 20);
    slow.WriteFile("patch/UpdateVersion.ini",
                   "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=1\r\nPatchFileVersion=3\r\n");
    for (unsigned n : {2u, 3u}) {
        slow.WriteFile("patch/patch/" + PackageName(n),
                       BuildPackage({{"Data/payload" + std::to_string(n), payload, false}}));
    }
    PointAt(slow.Address());
    for (int columns : {80, 50}) {
        SCOPED_TRACE(columns);
        WriteLocalVersion(1);
        std::remove(StatusFile().c_str());
        if (started_) Tmux({"kill-server"});
        // A server of its own for each pane: the one just told to end may still be going, and
        // a session started on its socket then fails.
        socket_ = "korvun-live-" + std::to_string(getpid()) + "-" + std::to_string(columns);
        ASSERT_NO_FATAL_FAILURE(StartInPane(columns));
        std::vector<std::string> frames;
        WaitUntil(
            [&] {
                ProgramResult pane = Tmux({"capture-pane", "-p"});
                std::string line = pane.out.substr(0, pane.out.find('\n'));
                if (line.find("MiB") != std::string::npos || line.find('%') != std::string::npos)
                    frames.push_back(line);
                return std::ifstream(StatusFile()).good();
            },
            30s);
        ASSERT_EQ(ReadFileBytes(StatusFile()), "0\n");
        ASSERT_FALSE(frames.empty()) << "no progress figures seen";
        size_t downloading = 0;
        for (const std::string& frame : frames) {
            EXPECT_LT(frame.size(), static_cast<size_t>(columns)) << frame;
            EXPECT_EQ(frame.find("Kb/s"), std::string::npos) << frame;
            if (frame.find("Downloading the file") == std::string::npos) continue;
            ++downloading;
            EXPECT_TRUE(frame.find("Downloading the file (1/2)") != std::string::npos ||
                        frame.find("Downloading the file (2/2)") != std::string::npos)
                << frame;
            EXPECT_NE(frame.find(" MiB"), std::string::npos) << frame;
        }
        EXPECT_GT(downloading, 0u) << frames.back();
    }
}

// Without a terminal the status lines come with a progress line every few seconds while a
// package downloads, never one per block.
TEST_F(LiveLineTest, APipeGetsAProgressLineEveryFewSeconds) {
    TrickleServer slow(512 << 10);
    slow.WriteFile("patch/UpdateVersion.ini",
                   "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=1\r\nPatchFileVersion=2\r\n");
    slow.WriteFile("patch/patch/pk0002.patch",
                   BuildPackage({{"Data/payload.bin", std::string(4 << 20, 'x'), false}}));
    PointAt(slow.Address());
    WriteLocalVersion(1);

    auto started = std::chrono::steady_clock::now();
    ConsoleResult run = RunConsole();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::vector<std::string> reports;
    for (size_t start = 0; start < run.out.size();) {
        size_t end = run.out.find('\n', start);
        std::string line = run.out.substr(start, end - start);
        if (line.rfind("Downloading the file (1/1): ", 0) == 0) reports.push_back(line);
        start = end == std::string::npos ? run.out.size() : end + 1;
    }
    ASSERT_FALSE(reports.empty()) << run.out;
    EXPECT_LE(reports.size(), static_cast<size_t>(seconds / 3.0) + 1) << run.out;
    EXPECT_NE(reports.front().find(" / 4.0 MiB, "), std::string::npos) << reports.front();
    EXPECT_NE(reports.back().find("KiB/s, "), std::string::npos) << reports.back();
    EXPECT_NE(reports.back().find(" left"), std::string::npos) << reports.back();
    EXPECT_EQ(run.LastLine(), "Update Completed");
}

}  // namespace
}  // namespace korvun::test
