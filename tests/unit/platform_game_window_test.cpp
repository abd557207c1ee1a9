#include "platform/game_window.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform_test_helpers.h"
#include "wine_game.h"

// Xlib defines macros (None, Bool, Status) that clash with GoogleTest; it comes last.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace korvun {
namespace {

using test::PrivateXServer;
using test::ScopedEnv;
using test::ScratchDir;
using test::WineGame;

// Another client's windows, made the way a game would make them.
class WindowMaker {
  public:
    WindowMaker() : display_(XOpenDisplay(nullptr)) {}
    ~WindowMaker() {
        if (display_) XCloseDisplay(display_);
    }
    WindowMaker(const WindowMaker&) = delete;
    WindowMaker& operator=(const WindowMaker&) = delete;

    Display* display() const { return display_; }

    Window Make(Window parent, const char* windowClass, const char* title,
                bool netWmNameOnly = false) {
        Window window = XCreateSimpleWindow(display_, parent, 0, 0, 50, 50, 0, 0, 0);
        if (windowClass) {
            XClassHint hint{const_cast<char*>("game"), const_cast<char*>(windowClass)};
            XSetClassHint(display_, window, &hint);
        }
        if (title && netWmNameOnly) {
            XChangeProperty(display_, window, XInternAtom(display_, "_NET_WM_NAME", False),
                            XInternAtom(display_, "UTF8_STRING", False), 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(title),
                            static_cast<int>(strlen(title)));
        } else if (title) {
            XStoreName(display_, window, title);
        }
        XMapWindow(display_, window);
        XSync(display_, False);
        return window;
    }

    Window Root() const { return DefaultRootWindow(display_); }

    // What a window manager does to a managed client.
    void MarkManaged(Window client) {
        Atom wmState = XInternAtom(display_, "WM_STATE", False);
        long state[2] = {NormalState, None};
        XChangeProperty(display_, client, wmState, wmState, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(state), 2);
        XSync(display_, False);
    }

    void Destroy(Window window) {
        XDestroyWindow(display_, window);
        XSync(display_, False);
    }

  private:
    Display* display_;
};

class GameWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!PrivateXServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
        server_ = std::make_unique<PrivateXServer>();
        ASSERT_FALSE(server_->display().empty()) << server_->error();
    }
    std::unique_ptr<PrivateXServer> server_;
};

TEST(GameWindowNoDisplay, NoDisplayMeansNoGameWindow) {
    ScopedEnv display("DISPLAY", std::nullopt);
    EXPECT_FALSE(FindTopLevelWindow("GAME", "Korvun", "Game.exe"));
    ScopedEnv unreachable("DISPLAY", ":9999");
    EXPECT_FALSE(FindTopLevelWindow("GAME", "Korvun", "Game.exe"));
}

TEST_F(GameWindowTest, MatchesClassAndTitleExactly) {
    WindowMaker maker;
    ASSERT_NE(maker.display(), nullptr);
    EXPECT_FALSE(FindTopLevelWindow("GAME", "Korvun", "Game.exe"));
    maker.Make(maker.Root(), "GAME", "Korvun - loading");
    maker.Make(maker.Root(), "Game", "Korvun");
    maker.Make(maker.Root(), "OTHER", "Korvun");
    maker.Make(maker.Root(), nullptr, "Korvun");
    EXPECT_FALSE(FindTopLevelWindow("GAME", "Korvun", "Game.exe"));

    Window game = maker.Make(maker.Root(), "GAME", "Korvun");
    EXPECT_TRUE(FindTopLevelWindow("GAME", "Korvun", "Game.exe"));
    maker.Destroy(game);
    EXPECT_FALSE(FindTopLevelWindow("GAME", "Korvun", "Game.exe"));
}

TEST_F(GameWindowTest, NetWmNameCountsAsTitle) {
    WindowMaker maker;
    maker.Make(maker.Root(), "GAME", "Korvun", /*netWmNameOnly=*/true);
    EXPECT_TRUE(FindTopLevelWindow("GAME", "Korvun", "Game.exe"));
}

// Under a reparenting window manager the top-level window is the manager's frame; the game's
// own window is the client inside it that carries WM_STATE.
TEST_F(GameWindowTest, ClientInsideAWindowManagerFrameIsFound) {
    WindowMaker maker;
    Window frame = maker.Make(maker.Root(), "Frame", "decoration");
    Window inner = maker.Make(frame, nullptr, nullptr);
    Window client = maker.Make(inner, "GAME", "Korvun");
    EXPECT_FALSE(FindTopLevelWindow("GAME", "Korvun", "Game.exe")) << "only managed clients count";
    maker.MarkManaged(client);
    EXPECT_TRUE(FindTopLevelWindow("GAME", "Korvun", "Game.exe"));
}

// Wine shows a Win32 window's class to X11 as the program's file name ("game.exe"), so the
// game is known there by the program its process runs. Another program with the same title
// and the game with another title do not count.
TEST_F(GameWindowTest, WineGameIsFoundByItsProgram) {
    if (auto reason = WineGame::Unavailable()) GTEST_SKIP() << *reason;
    ScratchDir client;
    std::filesystem::copy_file(WineGame::Program(), client / "Game.exe");
    std::filesystem::copy_file(WineGame::Program(), client / "Other.exe");
    const std::string game = client / "Game.exe";

    WineGame loading(game, "Korvun - loading");
    ASSERT_EQ(loading.error(), "");
    WineGame other(client / "Other.exe", "Korvun");
    ASSERT_EQ(other.error(), "");
    ASSERT_TRUE(
        test::WaitFor([&] { return FindTopLevelWindow("GAME", "Korvun - loading", game); }));
    ASSERT_TRUE(
        test::WaitFor([&] { return FindTopLevelWindow("GAME", "Korvun", client / "Other.exe"); }));
    EXPECT_FALSE(FindTopLevelWindow("GAME", "Korvun", game));

    WineGame running(game, "Korvun");
    ASSERT_EQ(running.error(), "");
    EXPECT_TRUE(test::WaitFor([&] { return FindTopLevelWindow("GAME", "Korvun", game); }));
    running.Stop();
    EXPECT_TRUE(test::WaitFor([&] { return !FindTopLevelWindow("GAME", "Korvun", game); }));
}

// Windows of other programs come and go while we look; one vanishing between listing and
// reading its properties must not end the process.
TEST_F(GameWindowTest, WindowsVanishingDuringTheSearchAreHarmless) {
    pid_t churner = ::fork();
    ASSERT_GE(churner, 0);
    if (churner == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        WindowMaker maker;
        if (!maker.display()) ::_exit(1);
        for (;;) {
            Window windows[20];
            for (Window& window : windows) window = maker.Make(maker.Root(), "GAME", "Other");
            for (Window window : windows) XDestroyWindow(maker.display(), window);
            XSync(maker.display(), False);
        }
    }
    for (int i = 0; i < 300; ++i) EXPECT_FALSE(FindTopLevelWindow("GAME", "Korvun", "Game.exe"));
    int status;
    EXPECT_EQ(::waitpid(churner, &status, WNOHANG), 0) << "the window churner ended early";
    ::kill(churner, SIGKILL);
    ::waitpid(churner, &status, 0);
}

}  // namespace
}  // namespace korvun
