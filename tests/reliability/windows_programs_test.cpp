// The Windows build (scripts/build-windows) under Wine: the tests of its platform layers, the
// console updater against the same nginx and release as the Linux program, judged by the
// Linux korvun-tool, and its start-up refusals against real Win32 objects (another updater's
// mutex, a game window, a system directory without Direct3D 9).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "gui/x_display.h"
#include "reliability/release_fixture.h"
#include "support/nginx_fixture.h"
#include "support/wine_prefix.h"
#include "support/zip_test_packages.h"

namespace korvun::test {
namespace {

using namespace std::chrono_literals;

std::string WindowsConsole() {
    return std::string(KORVUN_WINDOWS_BUILD_DIR) + "/src/console/korvun-updater-console.exe";
}

std::string WindowsUnitTests() {
    return std::string(KORVUN_WINDOWS_BUILD_DIR) + "/tests/windows/windows_unit_tests.exe";
}

class WindowsPrograms : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(WindowsConsole())) {
            GTEST_SKIP() << WindowsConsole() << " is not built (scripts/build-windows)";
        }
        if (std::system("command -v wine >/dev/null") != 0) GTEST_SKIP() << "wine is missing";
        prefix_ = SharedWinePrefix(KORVUN_SOURCE_DIR);
        ASSERT_FALSE(prefix_.empty()) << "cannot make the Wine prefix";
        scratch_ = MakeScratchDirectory("korvun-windows");
        game_ = scratch_ + "/game";
    }
    void TearDown() override {
        if (!scratch_.empty()) RemoveTree(scratch_);
    }

    // Runs the Windows console on the game directory; its own Wine prefix answers the
    // Direct3D 9 check with Wine's d3d9.dll. display: the X display its windows would go to.
    RunResult RunWindowsConsole(const std::string& display = "") {
        std::vector<std::string> command = {"/usr/bin/env", "-u", "DISPLAY"};
        if (!display.empty()) command.push_back("DISPLAY=" + display);
        command.insert(command.end(),
                       {"WINEDEBUG=-all", "WINEPREFIX=" + prefix_, "no_proxy=127.0.0.1", "wine",
                        WindowsConsole(), "-C", game_});
        return RunProgram(command, 300);
    }

    // A client at its release's last version: a run that is let through ends at once.
    void InstallUpToDateClient(const std::string& serverAddress) {
        std::vector<ClientTree> versions = GenerateVersions(1, 7);
        PublishRelease(versions, server_.Root());
        InstallClient(versions.back(), 2, game_, serverAddress);
    }

    // The message of a refusal, as the console ends: status 1 and one line on standard error
    // (a Windows program ends its lines with CR LF).
    static void ExpectRefusal(const RunResult& run, const std::string& message) {
        EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
        EXPECT_EQ(run.err, "Korvun Updater: " + message + "\r\n");
        EXPECT_EQ(run.out, "");
    }

    std::string prefix_;
    std::string scratch_;
    std::string game_;
    NginxServer server_;
};

// On a private X server, since the game window test makes real windows.
TEST_F(WindowsPrograms, PlatformUnitTestsPass) {
    RunResult run = RunProgram({"/usr/bin/xvfb-run", "-a", "/usr/bin/env", "WINEDEBUG=-all",
                                "WINEPREFIX=" + prefix_, "wine", WindowsUnitTests()},
                               300);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("[  PASSED  ]"), std::string::npos) << run.out;
}

TEST_F(WindowsPrograms, UpdatesAClientFromVersion1To5) {
    std::vector<ClientTree> versions = GenerateVersions(4, 18);
    PublishRelease(versions, server_.Root());
    InstallClient(versions.front(), 1, game_, server_.Address());

    RunResult run = RunWindowsConsole();
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Update Completed"), std::string::npos) << run.out;
    EXPECT_EQ(ReadCurrentVersion(game_), "5");
    WriteTree(versions.back(), scratch_ + "/reference");
    std::string verify;
    EXPECT_TRUE(ClientVerifyPasses(game_, scratch_ + "/reference", &verify)) << verify;
    EXPECT_TRUE(CompareClient(game_, versions.back()).empty());
}

// Names that Windows would turn into a device, a stream of another file or another file's name
// were written there by the Windows build: it refuses such a package before it writes anything,
// as the Linux build does.
TEST_F(WindowsPrograms, WindowsOnlyNamesAreRefusedBeforeAnythingIsWritten) {
    std::vector<ClientTree> versions = GenerateVersions(1, 23);
    PublishRelease(versions, server_.Root());
    for (const std::string name : {"CON", "sub/aux.txt", "x.txt:stream", "x.txt."}) {
        SCOPED_TRACE(name);
        RemoveTree(game_);
        InstallClient(versions.front(), 1, game_, server_.Address());
        WriteWithLibzip(server_.Root() + "/patch/patch/pk0002.patch",
                        {{"first.txt", "first\n"}, {name, "payload\n"}});
        RunResult run = RunWindowsConsole();
        EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
        EXPECT_NE(run.out.find("Extraction Failedc12"), std::string::npos) << run.out;
        EXPECT_FALSE(std::filesystem::exists(game_ + "/first.txt"));
        EXPECT_EQ(ReadCurrentVersion(game_), "1");
    }
}

// Whether a client on this machine holds an open connection to 127.0.0.1:port.
bool ConnectedTo(uint16_t port) {
    char remote[16];
    std::snprintf(remote, sizeof remote, ":%04X", port);
    std::istringstream table(ReadFileBytes("/proc/net/tcp"));
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, peer, state;
        fields >> slot >> local >> peer >> state;
        if (state == "01" && peer.size() > 5 && peer.substr(peer.size() - 5) == remote) {
            return true;
        }
    }
    return false;
}

TEST_F(WindowsPrograms, SecondConsoleIsRefusedWhileTheFirstRuns) {
    // The first console waits on a server that never answers, holding the single-instance
    // mutex: once it has connected, it is past its start-up checks.
    MisbehavingServer silent("silent", 120);
    InstallUpToDateClient(silent.Address());
    Process first({"wine", WindowsConsole(), "-C", game_},
                  {{"WINEDEBUG", "-all"}, {"WINEPREFIX", prefix_}, {"no_proxy", "127.0.0.1"}});
    ASSERT_TRUE(WaitUntil([&] { return ConnectedTo(silent.Port()); }, 120s));

    ExpectRefusal(RunWindowsConsole(), "Updator already in operation.c01");
    EXPECT_TRUE(first.Running());
}

// The game as a real Win32 program, its window found by class and title alone.
TEST_F(WindowsPrograms, RunningGameWindowIsRefusedOnlyUnderItsExactTitle) {
    if (std::string(KORVUN_WIN32_GAME).empty()) GTEST_SKIP() << "no Win32 game stand-in";
    InstallUpToDateClient(server_.Address());
    XDisplay display;
    std::map<std::string, std::string> environment = {
        {"DISPLAY", display.Name()}, {"WINEDEBUG", "-all"}, {"WINEPREFIX", prefix_}};
    {
        Process game({"wine", KORVUN_WIN32_GAME, "Korvun"}, environment);
        ASSERT_FALSE(display.WaitForWindow("^Korvun$", 0, 120s).empty());
        ExpectRefusal(RunWindowsConsole(display.Name()),
                      "Game still in operation. Please try again after closing the game.c02");
    }
    Process launcher({"wine", KORVUN_WIN32_GAME, "Korvun Launcher"}, environment);
    ASSERT_FALSE(display.WaitForWindow("^Korvun Launcher$", 0, 120s).empty());
    RunResult run = RunWindowsConsole(display.Name());
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
}

TEST_F(WindowsPrograms, MissingDirect3DIsRefusedBeforeAnyRequest) {
    InstallUpToDateClient(server_.Address());
    // A twin of the shared prefix, its files hard links (the registry copied, since Wine
    // rewrites it), without d3d9.dll in the system directory.
    std::string shared = prefix_;
    prefix_ = shared + "-without-d3d9-" + std::to_string(getpid());
    std::string copy = "cp -al '" + shared + "' '" + prefix_ + "' && cd '" + prefix_ +
                       "' && for r in *.reg; do cp --remove-destination '" + shared +
                       "'/$r $r; done && rm drive_c/windows/system32/d3d9.dll";
    ASSERT_EQ(std::system(copy.c_str()), 0);
    RunResult run = RunWindowsConsole();
    std::system(("WINEPREFIX='" + prefix_ + "' wineserver -k 2>/dev/null").c_str());
    RemoveTree(prefix_);
    ExpectRefusal(run, "DirectX9 is not installed. Please try again after installing DirectX9.c03");
    EXPECT_EQ(server_.CountRequests("/"), 0u);
}

}  // namespace
}  // namespace korvun::test
