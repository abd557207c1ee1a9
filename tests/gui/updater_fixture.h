// The fixture of the tests that run the desktop program: a private X server, a real nginx
// with a version file and a notice page, a game directory pointed at it, a Wine prefix with
// Direct3D 9, and a stand-in browser.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "gui/x_display.h"
#include "support/nginx_fixture.h"

namespace korvun::test {

using namespace std::chrono_literals;

inline const std::string kUpdater = KORVUN_UPDATER_PATH;
inline const std::string kGameWindowHelper = KORVUN_GAME_WINDOW_HELPER;
inline const std::string kSkin = std::string(KORVUN_SOURCE_DIR) + "/resources/skin/";
inline const Rgb kRootColour{0, 0, 0};  // Xvfb -br
inline const Rgb kKeyColour{0, 0, 243};

// The window is centred on the 1024x768 screen.
constexpr int kLeft = (1024 - 750) / 2;
constexpr int kTop = (768 - 550) / 2;

inline constexpr const char* kNoticePage = R"(<!DOCTYPE html>
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

inline bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

class UpdaterWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        game_ = root_.Path() + "/game";
        wine_ = root_.Path() + "/wine";
        runtime_ = root_.Path() + "/run";
        bin_ = root_.Path() + "/bin";
        for (const std::string& dir : {game_, runtime_, bin_}) mkdir(dir.c_str(), 0700);
        WriteFileBytes(wine_ + "/drive_c/windows/system32/d3d9.dll", "MZ");
        // Nothing to download: the run ends as completed and the window stays open.
        WriteFileBytes(game_ + "/Version.ini",
                       "[Version]\r\nCheckVersion=3\r\nCurrentVersion=5\r\nStartUpdate=\r\n");
        WriteFileBytes(game_ + "/CONFIG.ini", "[LOGIN]\r\nTEST_IP=GERMANY\r\n");
        WriteFileBytes(game_ + "/UpdaterURL.txt", server_.Address() + "\n");
        server_.WriteFile("patch/UpdateVersion.ini",
                          "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=1\r\n"
                          "PatchFileVersion=5\r\n");
        server_.WriteFile("notice/index.html", kNoticePage);
        // The default browser of this desktop records what it was asked to open.
        WriteFileBytes(bin_ + "/xdg-open",
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
    // Starts the updater and waits until its window stands centred and its event loop runs
    // (the first text has been drawn), so that input sent next reaches the window where the
    // test expects it, however busy the machine is.
    std::string StartWindow(std::unique_ptr<Process>* process) {
        *process = StartUpdater(Trace());
        std::string window = display_.WaitForWindow("^Korvun Updater$", (*process)->Pid());
        if (window.empty()) return window;
        WaitUntil(
            [&] {
                XDisplay::Geometry g = display_.WindowGeometry(window);
                return g.x == kLeft && g.y == kTop;
            },
            10s);
        WaitUntil([&] { return !ReadFileBytes(Trace()).empty(); }, 10s);
        return window;
    }

    std::string Trace() const { return root_.Path() + "/trace.txt"; }

    bool WaitForTrace(const std::string& trace, const std::string& line,
                      std::chrono::milliseconds timeout = 20s) const {
        return WaitUntil(
            [&] { return ReadFileBytes(trace).find(line + "\n") != std::string::npos; }, timeout);
    }

    // Waits until the run has ended (nothing to download here) and the notice page has come
    // in: until then starting the web view can keep the window from answering input for
    // seconds on a loaded machine. A page that never comes is left to the tests that need it.
    bool WaitUntilSettled() const {
        if (!WaitForTrace(Trace(), "start_button\tenabled", 60s)) return false;
        WaitUntil([&] { return ReadFileBytes(Trace()).find("notice\thttp") != std::string::npos; },
                  30s);
        return true;
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

}  // namespace korvun::test
