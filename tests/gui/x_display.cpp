#include "gui/x_display.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace korvun::test {

namespace {

uint32_t Le32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}
uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

std::vector<std::string> Environment(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        std::string key = text.substr(0, text.find('='));
        if (!overrides.count(key)) result.push_back(text);
    }
    for (const auto& [key, value] : overrides) result.push_back(key + "=" + value);
    return result;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            const std::string& workingDirectory, int stdoutFd) {
    std::vector<std::string> environment = Environment(env);
    std::vector<char*> args, envp;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0) _exit(126);
        if (stdoutFd >= 0) dup2(stdoutFd, 1);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    return pid;
}

std::string Trim(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace

Image ReadBmp(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<unsigned char> data((std::istreambuf_iterator<char>(file)), {});
    if (data.size() < 54 || data[0] != 'B' || data[1] != 'M') throw std::runtime_error(path);
    uint32_t offset = Le32(&data[10]);
    int32_t width = static_cast<int32_t>(Le32(&data[18]));
    int32_t height = static_cast<int32_t>(Le32(&data[22]));
    if (Le16(&data[28]) != 24 || Le32(&data[30]) != 0 || width <= 0 || height == 0) {
        throw std::runtime_error(path + ": not a 24-bit uncompressed BMP");
    }
    bool bottomUp = height > 0;
    if (!bottomUp) height = -height;
    size_t rowSize = (static_cast<size_t>(width) * 3 + 3) & ~size_t(3);
    if (offset + rowSize * height > data.size()) throw std::runtime_error(path + ": truncated");
    Image image{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 3)};
    for (int y = 0; y < height; ++y) {
        const unsigned char* row = &data[offset + rowSize * (bottomUp ? height - 1 - y : y)];
        for (int x = 0; x < width; ++x) {
            uint8_t* out = &image.rgb[(static_cast<size_t>(y) * width + x) * 3];
            out[0] = row[x * 3 + 2];
            out[1] = row[x * 3 + 1];
            out[2] = row[x * 3];
        }
    }
    return image;
}

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

Process::Process(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env, const std::string& workingDirectory)
    : pid_(Spawn(argv, env, workingDirectory, -1)) {}

Process::~Process() { Kill(); }

std::optional<int> Process::Wait(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    WaitUntil(
        [&] {
            int raw = 0;
            if (waitpid(pid_, &raw, WNOHANG) == pid_) {
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            }
            return status_.has_value();
        },
        timeout);
    return status_;
}

bool Process::Running() { return !Wait(std::chrono::milliseconds(0)); }

void Process::Kill() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        Wait(std::chrono::seconds(10));
    }
}

XDisplay::XDisplay() {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        close(fds[0]);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-br",
               "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string number;
    struct pollfd wait = {fds[0], POLLIN, 0};
    char c;
    while (poll(&wait, 1, 20000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        throw std::runtime_error("Xvfb did not start");
    }
    name_ = ":" + number;
}

XDisplay::~XDisplay() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

std::string XDisplay::Run(const std::vector<std::string>& argv, int* status) const {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = Spawn(argv, {{"DISPLAY", name_}}, "", fds[1]);
    close(fds[1]);
    std::string output;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) output.append(buffer, n);
    close(fds[0]);
    int raw = 0;
    waitpid(pid, &raw, 0);
    if (status) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return output;
}

std::string XDisplay::Xdotool(const std::vector<std::string>& args, int* status) const {
    std::vector<std::string> argv = {"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    return Trim(Run(argv, status));
}

std::vector<std::string> XDisplay::FindWindows(const std::string& name, pid_t pid) const {
    std::vector<std::string> args = {"search", "--all", "--onlyvisible"};
    if (pid > 0) {
        args.push_back("--pid");
        args.push_back(std::to_string(pid));
    }
    args.push_back("--name");
    args.push_back(name);
    std::istringstream lines(Xdotool(args));
    std::vector<std::string> windows;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) windows.push_back(line);
    }
    return windows;
}

std::string XDisplay::WaitForWindow(const std::string& name, pid_t pid,
                                    std::chrono::milliseconds timeout) const {
    std::string found;
    WaitUntil(
        [&] {
            std::vector<std::string> windows = FindWindows(name, pid);
            if (!windows.empty()) found = windows.back();
            return !found.empty();
        },
        timeout);
    return found;
}

XDisplay::Geometry XDisplay::WindowGeometry(const std::string& window) const {
    std::istringstream lines(Run({"xwininfo", "-id", window}));
    Geometry geometry;
    for (std::string line; std::getline(lines, line);) {
        auto value = [&](const char* label, int* out) {
            size_t at = line.find(label);
            if (at != std::string::npos) *out = std::stoi(line.substr(at + std::strlen(label)));
        };
        value("Absolute upper-left X:", &geometry.x);
        value("Absolute upper-left Y:", &geometry.y);
        value("Width:", &geometry.width);
        value("Height:", &geometry.height);
    }
    return geometry;
}

std::string ScreenshotDirectory() {
    std::string directory = KORVUN_GUI_SCREENSHOTS;
    mkdir(directory.c_str(), 0755);
    return directory;
}

Image XDisplay::Screenshot(const std::string& name) const {
    std::string png = ScreenshotDirectory() + "/" + name + ".png";
    std::string bmp = ScreenshotDirectory() + "/." + name + ".bmp";
    int status = 0;
    Run({"import", "-window", "root", png}, &status);
    if (status != 0) throw std::runtime_error("import failed for " + png);
    Run({"convert", png, "-type", "TrueColor", "BMP3:" + bmp}, &status);
    if (status != 0) throw std::runtime_error("convert failed for " + png);
    Image image = ReadBmp(bmp);
    unlink(bmp.c_str());
    return image;
}

}  // namespace korvun::test
