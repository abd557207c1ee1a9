#include "app/startup_checks.h"

#include <filesystem>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "app/message_box.h"
#include "platform/game_window.h"
#include "platform_test_helpers.h"
#include "wine_game.h"

// Xlib defines macros (None, Bool, Status) that clash with GoogleTest; it comes last.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace korvun {
namespace {

using test::ScopedEnv;
using test::ScratchDir;
using test::WriteFileWithMode;

const std::string kC01 = "Updator already in operation.c01";
const std::string kC02 = "Game still in operation. Please try again after closing the game.c02";
const std::string kC03 =
    "DirectX9 is not installed. Please try again after installing DirectX9.c03";

class StartupChecksTest : public ::testing::Test {
  protected:
    // The presenter the checks are handed: it records every box.
    MessageBoxPresenter Present() {
        return [this](const std::string& text, const std::string& caption) {
            std::lock_guard<std::mutex> lock(mutex_);
            boxes_.push_back(caption + "|" + text);
        };
    }

    std::vector<std::string> Boxes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return boxes_;
    }

    void InstallDirectX9(const std::string& fileName = "d3d9.dll") {
        WriteFileWithMode(prefix / ("drive_c/windows/system32/" + fileName), "MZ");
    }

    ScratchDir runtime;
    ScratchDir prefix;
    ScopedEnv runtimeDir{"XDG_RUNTIME_DIR", runtime.Path()};
    ScopedEnv winePrefix{"WINEPREFIX", prefix.Path()};
    ScopedEnv noDisplay{"DISPLAY", std::nullopt};
    std::mutex mutex_;
    std::vector<std::string> boxes_;
};

// A game window on a private X server, for as long as the object lives.
class RunningGame {
  public:
    RunningGame() {
        if (server_.display().empty()) return;
        display_ = XOpenDisplay(nullptr);
        if (!display_) return;
        Window window =
            XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 64, 48, 0, 0, 0);
        XClassHint hint{const_cast<char*>("game"), const_cast<char*>("GAME")};
        XSetClassHint(display_, window, &hint);
        XStoreName(display_, window, "Korvun");
        XMapWindow(display_, window);
        XSync(display_, False);
    }
    ~RunningGame() {
        if (display_) XCloseDisplay(display_);
    }
    RunningGame(const RunningGame&) = delete;
    RunningGame& operator=(const RunningGame&) = delete;

    bool Running() const { return display_ != nullptr; }
    std::string Error() const { return server_.error(); }

  private:
    test::PrivateXServer server_;
    Display* display_ = nullptr;
};

TEST_F(StartupChecksTest, AllChecksPassSilently) {
    InstallDirectX9();
    NamedMutex mutex(kSingleInstanceMutexName);
    EXPECT_EQ(RunStartupChecks(mutex, Present()), StartupCheckResult::Passed);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(StartupChecksTest, DirectX9FileNameMatchesIgnoringCase) {
    InstallDirectX9("D3D9.DLL");
    EXPECT_TRUE(IsDirectX9Installed());
}

TEST_F(StartupChecksTest, MissingDirectX9ShowsC03) {
    InstallDirectX9("d3d8.dll");
    NamedMutex mutex(kSingleInstanceMutexName);
    EXPECT_EQ(RunStartupChecks(mutex, Present()), StartupCheckResult::DirectX9Missing);
    EXPECT_EQ(Boxes(), std::vector<std::string>{"Korvun Updater|" + kC03});
}

TEST_F(StartupChecksTest, NoSystemDirectoryMeansNoDirectX9) {
    ScopedEnv noPrefix("WINEPREFIX", std::nullopt);
    ScopedEnv noHome("HOME", std::nullopt);
    EXPECT_FALSE(IsDirectX9Installed());
}

TEST_F(StartupChecksTest, SecondUpdaterShowsOnlyC01EvenWithTheGameRunning) {
    if (!test::PrivateXServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
    RunningGame game;
    ASSERT_TRUE(game.Running()) << game.Error();
    NamedMutex first(kSingleInstanceMutexName);
    NamedMutex second(kSingleInstanceMutexName);
    EXPECT_EQ(RunStartupChecks(second, Present()), StartupCheckResult::UpdaterRunning);
    EXPECT_EQ(Boxes(), std::vector<std::string>{"Korvun Updater|" + kC01});
}

TEST_F(StartupChecksTest, RunningGameShowsC02BeforeTheDirectX9Check) {
    if (!test::PrivateXServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
    RunningGame game;
    ASSERT_TRUE(game.Running()) << game.Error();
    NamedMutex mutex(kSingleInstanceMutexName);
    EXPECT_EQ(RunStartupChecks(mutex, Present()), StartupCheckResult::GameRunning);
    EXPECT_EQ(Boxes(), std::vector<std::string>{"Korvun Updater|" + kC02});
}

// The game as players run it on Linux: Game.exe in the client directory, under Wine.
TEST_F(StartupChecksTest, GameRunningUnderWineShowsC02) {
    if (!test::PrivateXServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
    if (auto reason = test::WineGame::Unavailable()) GTEST_SKIP() << *reason;
    InstallDirectX9();
    ScratchDir client;
    std::filesystem::copy_file(test::WineGame::Program(), client / "Game.exe");
    test::ScopedCwd inClient(client.Path());
    test::PrivateXServer server;
    ASSERT_FALSE(server.display().empty()) << server.error();
    test::WineGame game(client / "Game.exe", "Korvun");
    ASSERT_EQ(game.error(), "");
    NamedMutex mutex(kSingleInstanceMutexName);
    EXPECT_TRUE(test::WaitFor([] { return FindTopLevelWindow("GAME", "Korvun", "Game.exe"); }));
    EXPECT_EQ(RunStartupChecks(mutex, Present()), StartupCheckResult::GameRunning);
    EXPECT_EQ(Boxes(), std::vector<std::string>{"Korvun Updater|" + kC02});
}

}  // namespace
}  // namespace korvun
