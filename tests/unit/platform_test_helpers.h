// Small helpers for tests of the platform layers and the start-up checks: a scratch
// directory, temporary environment and working-directory changes, files, and a private X
// server.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/test_files.h"

#include <gtest/gtest.h>

extern char** environ;

namespace korvun::test {

// A fresh directory, removed with everything in it when the test ends.
using ScratchDir = TempDirectory;

// Sets (or, with nullopt, removes) an environment variable until the end of the scope.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) old_ = old;
        if (value) {
            ::setenv(name_.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

class ScopedCwd {
  public:
    explicit ScopedCwd(const std::string& directory) : old_(std::filesystem::current_path()) {
        std::filesystem::current_path(directory);
    }
    ~ScopedCwd() {
        std::error_code ignored;
        std::filesystem::current_path(old_, ignored);
    }
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

  private:
    std::filesystem::path old_;
};

// Writes bytes to path (making its parent directories) and gives the file mode.
inline void WriteFileWithMode(const std::string& path, const std::string& bytes,
                              mode_t mode = 0644) {
    WriteFileBytes(path, bytes);
    ::chmod(path.c_str(), mode);
}

// Polls until condition holds or the time runs out; returns whether it held.
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The threads of this process as /proc lists them. A joined thread's task may stay listed for
// a moment after the join returns, so a count that must drop is waited for with WaitFor.
inline size_t ThreadsOfThisProcess() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// The thread count to compare with later: a sanitizer's runtime starts a thread of its own at
// the first thread a program makes, which is waited out here.
inline size_t ThreadCountBeforeHelpers() {
    pid_t starter = 0;
    std::thread([&] { starter = gettid(); }).join();
    WaitFor([&] { return !std::filesystem::exists("/proc/self/task/" + std::to_string(starter)); },
            std::chrono::seconds(5));
    return ThreadsOfThisProcess();
}

inline bool ProgramOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream list(path ? path : "");
    std::string directory;
    while (std::getline(list, directory, ':')) {
        if (::access((directory + "/" + name).c_str(), X_OK) == 0) return true;
    }
    return false;
}

// A private Xvfb on a display number it chooses itself (-displayfd), so that tests running
// side by side never share a server. Sets DISPLAY while it lives.
class PrivateXServer {
  public:
    static bool Installed() { return ProgramOnPath("Xvfb"); }

    // Starts the server; on failure display() is empty and error() says why.
    PrivateXServer() {
        int fds[2];
        if (::pipe(fds) != 0) {
            error_ = "pipe failed";
            return;
        }
        std::string fdText = std::to_string(fds[1]);
        const char* argv[] = {"Xvfb",    "-displayfd", fdText.c_str(), "-nolisten", "tcp",
                              "-screen", "0",          "320x240x24",   "-noreset",  nullptr};
        pid_ = ::fork();
        if (pid_ == 0) {
            // A test that dies must not leave its server behind.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::close(fds[0]);
            int devNull = ::open("/dev/null", O_WRONLY);
            if (devNull >= 0) ::dup2(devNull, 2);
            ::execvp("Xvfb", const_cast<char* const*>(argv));
            ::_exit(127);
        }
        ::close(fds[1]);
        if (pid_ < 0) {
            ::close(fds[0]);
            error_ = "cannot start Xvfb";
            return;
        }
        std::string number;
        pollfd readable{fds[0], POLLIN, 0};
        while (::poll(&readable, 1, 20000) > 0) {
            char c;
            if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
            number += c;
        }
        ::close(fds[0]);
        if (number.empty()) {
            error_ = "Xvfb did not report a display";
            return;
        }
        display_ = ":" + number;
        displayEnv_.emplace("DISPLAY", display_);
    }
    ~PrivateXServer() {
        displayEnv_.reset();
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status;
            ::waitpid(pid_, &status, 0);
        }
    }
    PrivateXServer(const PrivateXServer&) = delete;
    PrivateXServer& operator=(const PrivateXServer&) = delete;

    const std::string& display() const { return display_; }
    const std::string& error() const { return error_; }

  private:
    pid_t pid_ = -1;
    std::string display_;
    std::string error_;
    std::optional<ScopedEnv> displayEnv_;
};

}  // namespace korvun::test
