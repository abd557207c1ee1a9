// The desktop program on a private X server: start-up refusals, the shaped window, its
// buttons, dragging, the home-page spot, the menu and the ways out.
#include <algorithm>
#include <set>
#include <tuple>

#include "gui/updater_fixture.h"

namespace korvun::test {
namespace {

using namespace std::chrono_literals;

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
    // Without a version file on the server the run ends in an error; the start button stays
    // disabled.
    unlink((server_.Root() + "/patch/UpdateVersion.ini").c_str());
    std::unique_ptr<Process> updater;
    ASSERT_FALSE(StartWindow(&updater).empty());
    Image closeNormal = ReadBmp(kSkin + "185-close-normal.bmp");
    Image closeHover = ReadBmp(kSkin + "187-close-hover.bmp");
    Image closePressed = ReadBmp(kSkin + "188-close-pressed.bmp");
    Image startPressed = ReadBmp(kSkin + "170-start-pressed.bmp");
    const int closeX = kLeft + 713, closeY = kTop + 10, startX = kLeft + 579, startY = kTop + 486;
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadFileBytes(Trace()).find("status\tDownload Failed") != std::string::npos; },
        30s));

    // A disabled button shows its disabled picture, which is the pressed one.
    EXPECT_TRUE(WaitForPicture("error_state", startX, startY, startPressed));
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
    ASSERT_TRUE(WaitUntilSettled());

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
        10s));
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
        10s));
    EXPECT_TRUE(
        WaitUntil([&] { return !ReadFileBytes(root_.Path() + "/browser.txt").empty(); }, 10s));
    EXPECT_EQ(ReadFileBytes(root_.Path() + "/browser.txt"), "http://" + server_.Address() + "/\n");
    display_.Screenshot("window_dragged");
}

TEST_F(UpdaterWindowTest, MenuOffersTheAboutBoxAndEscapeClosesTheWindow) {
    std::unique_ptr<Process> updater;
    ASSERT_FALSE(StartWindow(&updater).empty());
    ASSERT_TRUE(WaitUntilSettled());
    WriteFileBytes(game_ + "/UpdateVersion-tov-.ini", "[Version]\r\nCheckVersion=3\r\n");

    Mouse(kLeft + 400, kTop + 20);
    display_.Xdotool({"click", "3"});
    // Close, then past the separator, "Updater".
    display_.Xdotool({"key", "--delay", "150", "Down", "Down", "Return"});
    ASSERT_TRUE(WaitForTrace(Trace(), "about\tshown"));
    std::string about = display_.WaitForWindow("^About Korvun Updater$", updater->Pid());
    ASSERT_FALSE(about.empty());
    // Mapped is not yet drawn: the box is drawn once its text stands on its background.
    XDisplay::Geometry box = display_.WindowGeometry(about);
    EXPECT_TRUE(WaitUntil(
        [&] {
            Image shot = display_.Screenshot("about_box");
            std::set<std::tuple<int, int, int>> colours;
            for (int y = std::max(box.y, 0); y < std::min(box.y + box.height, shot.height); ++y) {
                for (int x = std::max(box.x, 0); x < std::min(box.x + box.width, shot.width); ++x) {
                    Rgb pixel = shot.At(x, y);
                    colours.insert({pixel.r, pixel.g, pixel.b});
                }
            }
            return colours.size() > 2;
        },
        10s));
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

TEST_F(UpdaterWindowTest, WithTheFirstServerDownTheNoticeAndHomePagesComeFromTheMirror) {
    NginxServer mirror;
    mirror.WriteFile("patch/UpdateVersion.ini",
                     ReadFileBytes(server_.Root() + "/patch/UpdateVersion.ini"));
    mirror.WriteFile("notice/index.html", kNoticePage);
    WriteFileBytes(game_ + "/UpdaterURL.txt",
                   "127.0.0.1:" + std::to_string(UnusedPort()) + " " + mirror.Address() + "\n");
    std::unique_ptr<Process> updater;
    ASSERT_FALSE(StartWindow(&updater).empty());
    EXPECT_TRUE(WaitForTrace(Trace(), "status\tCompleted", 60s));
    EXPECT_TRUE(
        WaitForTrace(Trace(), "notice\thttp://" + mirror.Address() + "/notice/index.html", 30s))
        << ReadFileBytes(Trace());

    Mouse(kLeft + 100, kTop + 25);
    display_.Xdotool({"click", "1"});
    EXPECT_TRUE(
        WaitUntil([&] { return !ReadFileBytes(root_.Path() + "/browser.txt").empty(); }, 10s));
    EXPECT_EQ(ReadFileBytes(root_.Path() + "/browser.txt"), "http://" + mirror.Address() + "/\n");
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
        EXPECT_EQ(ReadFileBytes(trace), "box\tKorvun Updater\t" + text + "\n");
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
    WriteFileBytes(game_ + "/UpdateVersion-tov-.ini", "[Version]\r\nCheckVersion=3\r\n");
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

// A server that cannot be reached: the notice area keeps the skin's picture instead of the
// browser engine's error text.
TEST_F(UpdaterWindowTest, ANoticePageThatCannotBeLoadedLeavesTheSkinInItsPlace) {
    WriteFileBytes(game_ + "/UpdaterURL.txt", "127.0.0.1:" + std::to_string(UnusedPort()) + "\n");
    std::unique_ptr<Process> updater;
    ASSERT_FALSE(StartWindow(&updater).empty());
    ASSERT_TRUE(WaitUntil(
        [&] {
            return ReadFileBytes(Trace()).find("notice\tnot loaded: http://") != std::string::npos;
        },
        60s))
        << ReadFileBytes(Trace());
    Image background = ReadBmp(kSkin + "167-background.bmp");
    int differing = -1;
    WaitUntil(
        [&] {
            Image shot = display_.Screenshot("notice_not_loaded");
            differing = 0;
            for (int y = 40; y < 455; y += 5) {
                for (int x = 21; x < 729; x += 5) {
                    differing += !(shot.At(kLeft + x, kTop + y) == background.At(x, y));
                }
            }
            return differing == 0;
        },
        10s);
    EXPECT_EQ(differing, 0) << "notice area pixels that are not the skin's";
}

}  // namespace
}  // namespace korvun::test
