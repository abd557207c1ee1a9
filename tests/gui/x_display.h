// Test helpers for the desktop program: a private X server (Xvfb), processes started on it,
// xdotool, and screenshots of the root window read back as pixels.
#pragma once

#include <sys/types.h>

#include <time.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvun::test {

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
    Rgb At(int x, int y) const {
        const uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
        return {p[0], p[1], p[2]};
    }
};

// Reads a 24-bit uncompressed BMP file; throws on anything else.
Image ReadBmp(const std::string& path);

// Pixels of the screenshot at left, top that differ from bitmap by more than 2 per channel.
int Mismatches(const Image& shot, int left, int top, const Image& bitmap);

// A started process; killed (SIGKILL) and reaped on destruction if still running.
class Process {
  public:
    // argv[0] is run as given; env entries override or add to the test's environment.
    Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            const std::string& workingDirectory = "");
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t Pid() const { return pid_; }
    // The exit status (or 128 + signal) once it has ended within timeout; nullopt if not.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    bool Running();
    void Kill();

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

class XDisplay {
  public:
    // Starts Xvfb on a free display number, 1024x768, black root window, no TCP.
    XDisplay();
    ~XDisplay();
    XDisplay(const XDisplay&) = delete;
    XDisplay& operator=(const XDisplay&) = delete;

    const std::string& Name() const { return name_; }
    static constexpr int kWidth = 1024;
    static constexpr int kHeight = 768;

    // Runs a command with DISPLAY set; returns its standard output. status receives the
    // exit status.
    std::string Run(const std::vector<std::string>& argv, int* status = nullptr) const;
    // xdotool with these arguments; its output with the trailing newline removed.
    std::string Xdotool(const std::vector<std::string>& args, int* status = nullptr) const;
    // Visible windows whose name matches the regular expression, optionally of one process.
    std::vector<std::string> FindWindows(const std::string& name, pid_t pid = 0) const;
    // Waits until such a window exists; its id, or "" after timeout.
    std::string WaitForWindow(const std::string& name, pid_t pid = 0,
                              std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

    struct Geometry {
        int x = 0, y = 0, width = 0, height = 0;
    };
    Geometry WindowGeometry(const std::string& window) const;

    // Saves the root window as PNG (in the build tree's screenshot directory under name)
    // and returns its pixels.
    Image Screenshot(const std::string& name) const;

  private:
    std::string name_;
    pid_t pid_ = -1;
};

// Where screenshots go: <build>/tests/gui/screenshots.
std::string ScreenshotDirectory();

// Polls predicate every 20 ms until it holds or timeout passes; returns its last value.
template <typename Predicate>
bool WaitUntil(Predicate predicate, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (predicate()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        struct timespec pause = {0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace korvun::test
