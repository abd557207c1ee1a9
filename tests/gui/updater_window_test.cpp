// The desktop program on a private X server: start-up refusals, the shaped window, its
// buttons, dragging, the home-page spot, the menu and the ways out.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "gui/x_display.h"
#include "support/nginx_fixture.h"

namespace korvun::test {
namespace {

using namespace std::chrono_literals;

const std::string kUpdater = KORVUN_UPDATER_PATH;
const std::string kGameWindowHelper = KORVUN_GAME_WINDOW_HELPER;
const std::string kSkin = std::string(KORVUN_SOURCE_DIR) + "/resources/skin/";
const Rgb kRootColour{0, 0, 0};  // Xvfb -br
const Rgb kKeyColour{0, 0, 243};

// The window is centred on the 1024x768 screen.
constexpr int kLeft = (1024 - 750) / 2;
constexpr int kTop = (768 - 550) / 2;

constexpr const char* kNoticePage = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><style>
body { margin: 0; background: #10141b; color: #c9ced8; font-family: sans-serif; }
.banner { height: 150px; background: linear-gradient(120deg, #3b2a10, #1b2433 60%);
          padding: 28px 32px; box-sizing: border-box; }
.banner h1 { margin: 0; color: #f0c36a; font-size: 30px; letter-spacing: 2px; }
.banner p { margin: 10px 0 0; color: #d8dde6; }
ul { list-style: none; margin: 0; padding: 18px 32px; }
li { padding: 11px 0; border-bottom: 1px solid #262d39; }
li span { color: #8a93a3; float: right; }
.tag { color: #f0c36a; margin-right: 8px; }
</style></head><body>
<div class="banner"><h1>SEASON 7: THE FROZEN CROWN</h1>
<p>New dungeon, new class skills and a winter event await you.</p></div>
<ul>
<li><b class="tag">[NOTICE]</b>Scheduled maintenance on Thursday 06:00-08:00<span>12/04</span></li>
<li><b class="tag">[EVENT]</b>Double experience weekend for all servers<span>12/02</span></li>
<li><b class="tag">[UPDATE]</b>Patch notes: balance changes and bug fixes<span>11/28</span></li>
<li><b class="tag">[NOTICE]</b>Beware of phishing sites asking for your password<span>11/21</span></li>
</ul></body></html>
)";

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Pixels of the screenshot at left, top that differ from bitmap by more than 2 per channel.
int Mismatches(const Image& shot, int left, int top, const Image& bitmap) {
    int count = 0;
    for (int y = 0; y < bitmap.height; ++y) {
        for (int x = 0; x < bitmap.width; ++x) {
            Rgb a = shot.At(left + x, top + y), b = bitmap.At(x, y);
            if (std::abs(a.r - b.r) > 2 || std::abs(a.g - b.g) > 2 || std::abs(a.b - b.b) > 2) {
                ++count;
            }
        }
    }
    return count;
}

class UpdaterWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        game_ = root_.Path() + "/game";
        wine_ = root_.Path() + "/wine";
        runtime_ = root_.Path() + "/run";
        bin_ = root_.Path() + "/bin";
        for (const std::string& dir : {game_, runtime_, bin_}) mkdir(dir.c_str(), 0700);
        WriteTextFile(wine_ + "/drive_c/windows/system32/d3d9.dll", "MZ");
        // Nothing to download: the run ends as completed and the window stays open.
        WriteTextFile(game_ + "/Version.ini",
                      "[Version]\r\nCheckVersion=3\r\nCurrentVersion=5\r\nStartUpdate=\r\n");
        WriteTextFile(game_ + "/CONFIG.ini", "[LOGIN]\r\nTEST_IP=GERMANY\r\n");
        WriteTextFile(game_ + "/UpdaterURL.txt", server_.Address() + "\n");
        server_.WriteFile("patch/UpdateVersion.ini",
                          "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=1\r\n"
                          "PatchFileVersion=5\r\n");
        server_.WriteFile("notice/index.html", kNoticePage);
        // The default browser of this desktop records what it was asked to open.
        WriteTextFile(bin_ + "/xdg-open",
                      "#!/bin/sh\necho \"$@\" >> " + root_.Path() + "/browser.txt\n");
        chmod((bin_ + "/xdg-open").c_str(), 0755);
    }

    std::map<std::string, std::string> Environment(const std::string& trace) const {
        const char* path = getenv("PATH");
        return {{"DISPLAY", display_.Name()},
                {"WINEPREFIX", wine_},
                {"XDG_RUNTIME_DIR", runtime_},
                {"KORVUN_TRACE_TEXTS", trace},
                {"PATH", bin_ + ":" + (path ? path : "/usr/bin:/bin")}};
    }

    std::unique_ptr<Process> StartUpdater(const std::string& trace,
                                          std::map<std::string, std::string> extra = {}) {
        std::map<std::string, std::string> env = Environment(trace);
        for (const auto& [key, value] : extra) env[key] = value;
        return std::make_unique<Process>(std::vector<std::string>{kUpdater}, env, game_);
    }

    // Starts the updater and waits for its window; the window id.
    std::string StartWindow(std::unique_ptr<Process>* process) {
        *process = StartUpdater(Trace());
        return display_.WaitForWindow("^Korvun Updater$", (*process)->Pid());
    }

    std::string Trace() const { return root_.Path() + "/trace.txt"; }

    bool WaitForTrace(const std::string& trace, const std::string& line,
                      std::chrono::milliseconds timeout = 20s) const {
        return WaitUntil([&] { return ReadFile(trace).find(line + "\n") != std::string::npos; },
                         timeout);
    }

    void Mouse(int x, int y) const {
        display_.Xdotool({"mousemove", "--sync", std::to_string(x), std::to_string(y)});
    }

    // Waits until the screen at left, top shows bitmap; the last screenshot is kept as name.
    bool WaitForPicture(const std::string& name, int left, int top, const Image& bitmap) const {
        return WaitUntil(
            [&] { return Mismatches(display_.Screenshot(name), left, top, bitmap) == 0; }, 5s);
    }

    XDisplay display_;
    TempDirectory root_{"korvun-gui"};
    NginxServer server_;
    std::string game_, wine_, runtime_, bin_;
};

TEST_F(UpdaterWindowTest, WindowIsCentredAtBackgroundSizeAndCutOutWhereTheKeyColourIs) {
    std::unique_ptr<Process> updater;
    std::string window = StartWindow(&updater);
    ASSERT_FALSE(window.empty());
    XDisplay::Geometry geometry = display_.WindowGeometry(window);
    EXPECT_EQ(geometry.width, 750);
    EXPECT_EQ(geometry.height, 550);
    EXPECT_EQ(geometry.x, kLeft);
    EXPECT_EQ(geometry.y, kTop);

    ASSERT_TRUE(WaitForTrace(Trace(), "status\tCompleted") ||
                WaitForTrace(Trace(), "status\tstart thread error", 1s));
    Image background = ReadBmp(kSkin + "167-background.bmp");
    Image shot;
    // The notice page paints a moment after it has loaded.
    ASSERT_TRUE(WaitUntil(
        [&] {
            shot = display_.Screenshot("window_started");
            return !(shot.At(kLeft + 300, kTop + 100) == background.At(300, 100));
        },
        10s));

    int keyPixels = 0, wrongOutside = 0, keyShown = 0, headerWrong = 0;
    for (int y = 0; y < 550; ++y) {
        for (int x = 0; x < 750; ++x) {
            Rgb seen = shot.At(kLeft + x, kTop + y);
            if (seen == kKeyColour) ++keyShown;
            // The two columns past a multiple of 4 are never part of the window.
            if (background.At(x, y) == kKeyColour || x >= 748) {
                ++keyPixels;
                if (!(seen == kRootColour)) ++wrongOutside;
            } else if (y < 38 && x < 700 && !(seen == background.At(x, y))) {
                ++headerWrong;
            }
        }
    }
    EXPECT_GT(keyPixels, 2 * 550);
    EXPECT_EQ(wrongOutside, 0) << "pixels of the cut-out outline that are not the root window";
    EXPECT_EQ(keyShown, 0) << "pixels of the key colour on the screen";
    EXPECT_EQ(headerWrong, 0) << "header pixels that differ from the skin";
}

TEST_F(UpdaterWindowTest, ButtonsShowTheirHoverPressedAndDisabledPictures) {
    std::unique_ptr<Process> updater;
    ASSERT_FALSE(StartWindow(&updater).empty());
    Image closeNormal = ReadBmp(kSkin + "185-close-normal.bmp");
    Image closeHover = ReadBmp(kSkin + "187-close-hover.bmp");
    Image closePressed = ReadBmp(kSkin + "188-close-pressed.bmp");
    Image startPressed = ReadBmp(kSkin + "170-start-pressed.bmp");
    const int closeX = kLeft + 713, closeY = kTop + 10, startX = kLeft + 579, startY = kTop + 486;

    // Before the run has completed the start button is disabled; it shows its pressed
    // picture, which is also its disabled one.
    EXPECT_TRUE(WaitForPicture("buttons_start_disabled", startX, startY, startPressed));
    EXPECT_TRUE(WaitForPicture("buttons_close_normal", closeX, closeY, closeNormal));

    Mouse(closeX + 13, closeY + 12);
    EXPECT_TRUE(WaitForPicture("buttons_close_hover", closeX, closeY, closeHover));
    Mouse(kLeft + 400, kTop + 20);
    EXPECT_TRUE(WaitForPicture("buttons_close_left", closeX, closeY, closeNormal));
    Mouse(closeX + 13, closeY + 12);
    EXPECT_TRUE(WaitForPicture("buttons_close_hover_again", closeX, closeY, closeHover));

    // Held down, pressed wins over hover; released outside, nothing is clicked.
    display_.Xdotool({"mousedown", "1"});
    EXPECT_TRUE(WaitForPicture("buttons_close_pressed", closeX, closeY, closePressed));
    Mouse(kLeft + 400, kTop + 20);
    display_.Xdotool({"mouseup", "1"});
    EXPECT_TRUE(WaitForPicture("buttons_close_released_outside", closeX, closeY, closeNormal));
    EXPECT_TRUE(updater->Running());

    // A click on it closes the window and ends the program.
    Mouse(closeX + 13, closeY + 12);
    display_.Xdotool({"click", "1"});
    EXPECT_EQ(updater->Wait(10s), std::optional<int>(0));
}

TEST_F(UpdaterWindowTest, DraggingMovesTheWindowAndTheLogoOpensTheHomePage) {
    std::unique_ptr<Process> updater;
    std::string window = StartWindow(&updater);
    ASSERT_FALSE(window.empty());

    // From the header outside the logo: the window follows the pointer, nothing opens.
    Mouse(kLeft + 400, kTop + 20);
    display_.Xdotool({"mousedown", "1"});
    Mouse(kLeft + 440, kTop + 50);
    Mouse(kLeft + 450, kTop + 60);
    display_.Xdotool({"mouseup", "1"});
    EXPECT_TRUE(WaitUntil(
        [&] {
            XDisplay::Geometry g = display_.WindowGeometry(window);
            return g.x == kLeft + 50 && g.y == kTop + 40;
        },
        5s));
    EXPECT_FALSE(FileExists(root_.Path() + "/browser.txt"));

    // The logo opens the home page and starts a drag all the same.
    const int left = kLeft + 50, top = kTop + 40;
    Mouse(left + 100, top + 25);
    display_.Xdotool({"mousedown", "1"});
    Mouse(left + 90, top + 20);
    Mouse(left + 80, top + 15);
    display_.Xdotool({"mouseup", "1"});
    EXPECT_TRUE(WaitUntil(
        [&] {
            XDisplay::Geometry g = display_.WindowGeometry(window);
            return g.x == left - 20 && g.y == top - 10;
        },
        5s));
    EXPECT_TRUE(WaitUntil([&] { return FileExists(root_.Path() + "/browser.txt"); }, 5s));
    EXPECT_EQ(ReadFile(root_.Path() + "/browser.txt"), "http://" + server_.Address() + "/\n");
    display_.Screenshot("window_dragged");
}

TEST_F(UpdaterWindowTest, MenuOffersTheAboutBoxAndEscapeClosesTheWindow) {
    std::unique_ptr<Process> updater;
    ASSERT_FALSE(StartWindow(&updater).empty());
    WriteTextFile(game_ + "/UpdateVersion-tov-.ini", "[Version]\r\nCheckVersion=3\r\n");

    Mouse(kLeft + 400, kTop + 20);
    display_.Xdotool({"click", "3"});
    // Close, then past the separator, "Updater".
    display_.Xdotool({"key", "--delay", "150", "Down", "Down", "Return"});
    ASSERT_TRUE(WaitForTrace(Trace(), "about\tshown"));
    std::string about = display_.WaitForWindow("^About Korvun Updater$", updater->Pid());
    ASSERT_FALSE(about.empty());
    display_.Screenshot("about_box");
    display_.Xdotool({"windowfocus", "--sync", about, "key", "Return"});
    EXPECT_TRUE(WaitUntil(
        [&] { return display_.FindWindows("^About Korvun Updater$", updater->Pid()).empty(); },
        5s));
    EXPECT_TRUE(updater->Running());

    std::string window = display_.FindWindows("^Korvun Updater$", updater->Pid()).at(0);
    display_.Xdotool({"windowfocus", "--sync", window, "key", "Escape"});
    EXPECT_EQ(updater->Wait(10s), std::optional<int>(0));
    // The one-run override of the server's version file goes with the window.
    EXPECT_FALSE(FileExists(game_ + "/UpdateVersion-tov-.ini"));
}

// The start-up refusals: one box each, captioned "Korvun Updater", answered with Return.
class StartupCheckTest : public UpdaterWindowTest {
  protected:
    // Starts an updater that must refuse with text; answers the box and checks the end.
    void ExpectRefusal(const std::string& text, const std::string& screenshot,
                       std::map<std::string, std::string> extra = {}) {
        std::string trace = root_.Path() + "/refused.txt";
        unlink(trace.c_str());
        std::unique_ptr<Process> refused = StartUpdater(trace, extra);
        std::string box = display_.WaitForWindow("^Korvun Updater$", refused->Pid());
        ASSERT_FALSE(box.empty());
        EXPECT_LT(display_.WindowGeometry(box).width, 750) << "a box, not the window";
        display_.Screenshot(screenshot);
        EXPECT_EQ(ReadFile(trace), "box\tKorvun Updater\t" + text + "\n");
        display_.Xdotool({"windowfocus", "--sync", box, "key", "Return"});
        EXPECT_EQ(refused->Wait(10s), std::optional<int>(0));
    }
};

TEST_F(StartupCheckTest, SecondInstanceIsRefusedAndTheFirstRunsOn) {
    std::unique_ptr<Process> first;
    ASSERT_FALSE(StartWindow(&first).empty());
    ExpectRefusal("Updator already in operation.c01", "startup_c01");
    EXPECT_TRUE(first->Running());
    EXPECT_EQ(display_.FindWindows("^Korvun Updater$", first->Pid()).size(), 1u);

    // With the game running too, the single-instance check still comes first.
    Process game({kGameWindowHelper, "Korvun"}, {{"DISPLAY", display_.Name()}});
    ASSERT_FALSE(display_.WaitForWindow("^Korvun$").empty());
    ExpectRefusal("Updator already in operation.c01", "startup_c01_with_game");
}

TEST_F(StartupCheckTest, RunningGameIsRefusedOnlyUnderItsExactTitle) {
    WriteTextFile(game_ + "/UpdateVersion-tov-.ini", "[Version]\r\nCheckVersion=3\r\n");
    {
        Process game({kGameWindowHelper, "Korvun"}, {{"DISPLAY", display_.Name()}});
        ASSERT_FALSE(display_.WaitForWindow("^Korvun$").empty());
        ExpectRefusal("Game still in operation. Please try again after closing the game.c02",
                      "startup_c02");
    }
    // A refused start leaves the override in place.
    EXPECT_TRUE(FileExists(game_ + "/UpdateVersion-tov-.ini"));

    Process other({kGameWindowHelper, "Korvun Launcher"}, {{"DISPLAY", display_.Name()}});
    ASSERT_FALSE(display_.WaitForWindow("^Korvun Launcher$").empty());
    std::unique_ptr<Process> updater;
    std::string window = StartWindow(&updater);
    ASSERT_FALSE(window.empty());
    EXPECT_EQ(display_.WindowGeometry(window).width, 750);
}

TEST_F(StartupCheckTest, MissingDirectX9IsRefused) {
    mkdir((root_.Path() + "/bare-wine").c_str(), 0700);
    ExpectRefusal("DirectX9 is not installed. Please try again after installing DirectX9.c03",
                  "startup_c03", {{"WINEPREFIX", root_.Path() + "/bare-wine"}});
}

}  // namespace
}  // namespace korvun::test
