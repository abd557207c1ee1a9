// The game as a real Win32 program (tests/support/win32_game.c) running under Wine, with a
// window of class "GAME" and the title given, on the X server of $DISPLAY.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform_test_helpers.h"
#include "support/wine_prefix.h"

namespace korvun::test {

class WineGame {
  public:
    // Why a Wine game cannot run here, or nullopt when it can.
    static std::optional<std::string> Unavailable() {
#ifndef KORVUN_WIN32_GAME
        return "mingw-w64 is not installed, so there is no Win32 game to run";
#else
        if (!ProgramOnPath("wine")) return "wine is not installed";
        return std::nullopt;
#endif
    }

    // The Win32 game program that the build made.
    static std::string Program() {
#ifdef KORVUN_WIN32_GAME
        return KORVUN_WIN32_GAME;
#else
        return {};
#endif
    }

    // Starts program (a copy of Program(), any name) with the title; error() is non-empty when
    // it did not report its window.
    WineGame(const std::string& program, const std::string& title) {
        std::string prefix = SharedWinePrefix(KORVUN_SOURCE_DIR);
        if (prefix.empty()) {
            error_ = "cannot create the Wine prefix";
            return;
        }
        std::vector<std::string> environment = Environment(prefix);
        std::vector<char*> envp;
        for (std::string& entry : environment) envp.push_back(entry.data());
        envp.push_back(nullptr);
        int fds[2];
        if (::pipe(fds) != 0) {
            error_ = "pipe failed";
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            ::close(fds[1]);
            const char* argv[] = {"wine", program.c_str(), title.c_str(), nullptr};
            ::execvpe("wine", const_cast<char* const*>(argv), envp.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string output;
        pollfd readable{fds[0], POLLIN, 0};
        // The first program in a fresh prefix takes a while to come up.
        while (pid_ > 0 && output.find("ready") == std::string::npos &&
               ::poll(&readable, 1, 120000) > 0) {
            char buffer[256];
            ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n <= 0) break;
            output.append(buffer, static_cast<size_t>(n));
        }
        ::close(fds[0]);
        if (output.find("ready") == std::string::npos) error_ = "the game did not start: " + output;
    }
    ~WineGame() { Stop(); }
    WineGame(const WineGame&) = delete;
    WineGame& operator=(const WineGame&) = delete;

    const std::string& error() const { return error_; }

    // Ends the game as a crash or a kill would.
    void Stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        int status;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

  private:
    static std::vector<std::string> Environment(const std::string& prefix) {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry; ++entry) {
            std::string text = *entry;
            if (text.rfind("WINEPREFIX=", 0) == 0 || text.rfind("WINEDEBUG=", 0) == 0) continue;
            environment.push_back(text);
        }
        environment.push_back("WINEPREFIX=" + prefix);
        environment.push_back("WINEDEBUG=-all");
        return environment;
    }

    pid_t pid_ = -1;
    std::string error_;
};

}  // namespace korvun::test
