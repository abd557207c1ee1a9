// The Windows build (scripts/build-windows) under Wine: the tests of its platform layers, and
// the console updater against the same nginx and release as the Linux program, judged by the
// Linux korvun-tool.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "reliability/release_fixture.h"
#include "support/nginx_fixture.h"
#include "support/wine_prefix.h"

namespace korvun::test {
namespace {

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
    // Direct3D 9 check with Wine's d3d9.dll.
    RunResult RunWindowsConsole() {
        return RunProgram(
            {"/usr/bin/env", "-u", "DISPLAY", "WINEDEBUG=-all", "WINEPREFIX=" + prefix_,
             "no_proxy=127.0.0.1", "wine", WindowsConsole(), "-C", game_},
            300);
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

}  // namespace
}  // namespace korvun::test
