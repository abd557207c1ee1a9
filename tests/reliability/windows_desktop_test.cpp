// The desktop program of scripts/build-windows (korvun-updater.exe) under Wine on a private X
// server: its skinned window, a whole update from nginx judged by the Linux korvun-tool, and
// the Win32 game stand-in started from the window. Screenshots go where the Linux desktop
// tests put theirs, named windows_*.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "gui/x_display.h"
#include "reliability/release_fixture.h"
#include "support/nginx_fixture.h"
#include "support/wine_prefix.h"

namespace korvun::test {
namespace {

using namespace std::chrono_literals;

const std::string kDesktop = std::string(KORVUN_WINDOWS_BUILD_DIR) + "/src/ui/korvun-updater.exe";
const std::string kSkin = std::string(KORVUN_SOURCE_DIR) + "/resources/skin/";
const Rgb kKeyColour{0, 0, 243};
// The window is centred on the 1024x768 screen.
constexpr int kLeft = (1024 - 750) / 2;
constexpr int kTop = (768 - 550) / 2;

// Windows programs see the Linux file system as drive Z:.
std::string WindowsName(const std::string& path) { return "Z:" + path; }

class WindowsDesktop : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(kDesktop)) {
            GTEST_SKIP() << kDesktop << " is not built (scripts/build-windows)";
        }
        if (std::system("command -v wine >/dev/null") != 0) GTEST_SKIP() << "wine is missing";
        if (std::string(KORVUN_WIN32_GAME).empty()) GTEST_SKIP() << "no Win32 game stand-in";
        prefix_ = SharedWinePrefix(KORVUN_SOURCE_DIR);
        ASSERT_FALSE(prefix_.empty()) << "cannot make the Wine prefix";
        game_ = root_.Path() + "/game";
    }

    std::unique_ptr<Process> StartDesktop() {
        // Wine has no browser engine here (Gecko is not packaged): without mshtml the notice
        // area stays empty instead of Wine offering to download one.
        return std::make_unique<Process>(
            std::vector<std::string>{"wine", kDesktop},
            std::map<std::string, std::string>{
                {"DISPLAY", display_.Name()},
                {"WINEPREFIX", prefix_},
                {"WINEDEBUG", "-all"},
                {"WINEDLLOVERRIDES", "mshtml="},
                {"no_proxy", "127.0.0.1"},
                {"KORVUN_TRACE_TEXTS", WindowsName(Trace())},
                {"KORVUN_GAME_ARGUMENTS", WindowsName(GameArguments())}},
            game_);
    }

    std::string Trace() const { return root_.Path() + "/trace.txt"; }
    std::string GameArguments() const { return root_.Path() + "/game-arguments.txt"; }

    bool WaitForTrace(const std::string& line, std::chrono::milliseconds timeout) const {
        return WaitUntil(
            [&] { return ReadFileBytes(Trace()).find(line + "\n") != std::string::npos; }, timeout);
    }

    bool WaitForPicture(const std::string& name, int left, int top, const Image& bitmap) const {
        return WaitUntil(
            [&] { return Mismatches(display_.Screenshot(name), left, top, bitmap) == 0; }, 10s);
    }

    XDisplay display_;
    TempDirectory root_{"korvun-windows-desktop"};
    NginxServer server_;
    std::string prefix_;
    std::string game_;
};

TEST_F(WindowsDesktop, SkinnedWindowUpdatesTheClientAndStartsTheGame) {
    std::vector<ClientTree> versions = GenerateVersions(2, 23);
    PublishRelease(versions, server_.Root());
    InstallClient(versions.front(), 1, game_, server_.Address());
    std::filesystem::copy_file(KORVUN_WIN32_GAME, game_ + "/Game.exe");

    std::unique_ptr<Process> updater = StartDesktop();
    std::string window = display_.WaitForWindow("^Korvun Updater$", 0, 120s);
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(WaitUntil(
        [&] {
            XDisplay::Geometry g = display_.WindowGeometry(window);
            return g.x == kLeft && g.y == kTop && g.width == 750 && g.height == 550;
        },
        20s));

    ASSERT_TRUE(WaitForTrace("status\tUpdate Completed", 180s)) << ReadFileBytes(Trace());
    ASSERT_TRUE(WaitForTrace("start_button\tenabled", 20s));
    EXPECT_EQ(ReadCurrentVersion(game_), "3");
    std::string verify;
    WriteTree(versions.back(), root_.Path() + "/reference");
    std::filesystem::copy_file(KORVUN_WIN32_GAME, root_.Path() + "/reference/Game.exe");
    EXPECT_TRUE(ClientVerifyPasses(game_, root_.Path() + "/reference", &verify)) << verify;

    // The skin as drawn by the Windows toolkit: full gauges, the start button in its normal
    // picture, the header as in the bitmap, the key colour cut out of the window's shape.
    EXPECT_TRUE(WaitForPicture("windows_update_completed", kLeft + 39, kTop + 495,
                               ReadBmp(kSkin + "182-gauge-file.bmp")));
    EXPECT_TRUE(WaitForPicture("windows_update_completed", kLeft + 39, kTop + 506,
                               ReadBmp(kSkin + "183-gauge-total.bmp")));
    EXPECT_TRUE(WaitForPicture("windows_update_completed", kLeft + 579, kTop + 486,
                               ReadBmp(kSkin + "168-start-normal.bmp")));
    Image background = ReadBmp(kSkin + "167-background.bmp");
    Image shot = display_.Screenshot("windows_update_completed");
    int keyShown = 0, headerWrong = 0;
    for (int y = 0; y < 550; ++y) {
        for (int x = 0; x < 750; ++x) {
            Rgb seen = shot.At(kLeft + x, kTop + y);
            if (seen == kKeyColour) ++keyShown;
            if (y < 38 && x < 700 && !(background.At(x, y) == kKeyColour) &&
                !(seen == background.At(x, y))) {
                ++headerWrong;
            }
        }
    }
    EXPECT_EQ(keyShown, 0) << "pixels of the key colour on the screen";
    EXPECT_EQ(headerWrong, 0) << "header pixels that differ from the skin";

    display_.Xdotool({"mousemove", "--sync", std::to_string(kLeft + 579 + 74),
                      std::to_string(kTop + 486 + 19), "click", "1"});
    EXPECT_EQ(updater->Wait(30s), std::optional<int>(0));
    EXPECT_TRUE(WaitUntil([&] { return !ReadFileBytes(GameArguments()).empty(); }, 30s));
    EXPECT_EQ(ReadFileBytes(GameArguments()), "start game\r\n");
}

}  // namespace
}  // namespace korvun::test
