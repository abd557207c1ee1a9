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

    std::string status = root_.Path() + "/live-status";
    std::string command = "env -u DISPLAY";
    for (const std::string& assignment : ConsoleEnvironment()) command += " " + Quote(assignment);
    // The status file appears only once it holds the exit status: the shell creates a
    // redirection's file before the command writes to it.
    command += " " + Quote(kConsolePath) + " -C " + Quote(GamePath()) + "; echo $? > " +
               Quote(status + ".tmp") + " && mv " + Quote(status + ".tmp") + " " + Quote(status) +
               "; sleep 60";
    ProgramResult started = Tmux({"new-session", "-d", "-x", "120", "-y", "10", command});
    ASSERT_EQ(started.status, std::optional<int>(0)) << started.err;
    started_ = true;

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

}  // namespace
}  // namespace korvun::test
