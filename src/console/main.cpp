// korvun-updater-console: the updater's engine without a display. Exit status: 0 completed,
// 1 failed (a message was shown), 2 reinstall needed, 3 stopped.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/startup_checks.h"
#include "console/console_window.h"
#include "platform/file_io.h"
#include "update/update_thread.h"
#include "update/version_file.h"

namespace {

enum ExitStatus { kCompleted = 0, kFailed = 1, kReinstall = 2, kStopped = 3 };

constexpr const char* kUsage =
    "Usage: korvun-updater-console [-C DIR] [--help]\n"
    "\n"
    "Brings the game client in the current directory (or DIR) up to date from its update\n"
    "server, as the desktop updater does, without a window. On a terminal it draws one live\n"
    "line; otherwise it prints one line per status change. Messages go to standard error.\n"
    "SIGINT or SIGTERM stops the update safely at its next stop point.\n"
    "\n"
    "Exit status: 0 completed, 1 failed, 2 the client must be installed again, 3 stopped.\n";

struct Options {
    std::string directory;
    bool help = false;
    std::string error;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "-C" && i + 1 < argc) {
            options.directory = argv[++i];
        } else if (arg.rfind("-C", 0) == 0 && arg.size() > 2) {
            options.directory = arg.substr(2);
        } else {
            options.error = "unknown argument: " + arg;
        }
    }
    return options;
}

// SIGINT and SIGTERM arrive through a descriptor that the waiting loop polls, so that the
// stop event is set from an ordinary thread and never from a signal handler.
int BlockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    // Blocked before any thread starts, so that every thread inherits the mask.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
}

void IgnoreBrokenPipeSignal(int) {}

// Output is a courtesy: a reader that goes away (`| head`) must not kill the process in the
// middle of an extraction; failed writes are simply lost. A handler rather than SIG_IGN, so
// that the programs it starts get the default back.
void IgnoreBrokenOutput() {
    struct sigaction action {};
    action.sa_handler = IgnoreBrokenPipeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);
}

bool StopSignalArrived(int signalFd, unsigned timeoutMs) {
    pollfd fd{signalFd, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(timeoutMs)) <= 0) return false;
    signalfd_siginfo info;
    return read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info);
}

int ExitStatusFor(const korvun::ConsoleWindow& window, bool stopped) {
    switch (window.GetOutcome()) {
        case korvun::ConsoleWindow::Outcome::Completed:
            return kCompleted;
        case korvun::ConsoleWindow::Outcome::Reinstall:
            return kReinstall;
        case korvun::ConsoleWindow::Outcome::Failed:
            return kFailed;
        case korvun::ConsoleWindow::Outcome::Running:
            break;
    }
    if (stopped) return kStopped;
    // The hand-over to a new updater ends the run with a close request and no other state.
    return window.CloseRequested() ? kCompleted : kFailed;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = ParseOptions(argc, argv);
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!options.error.empty()) {
        std::fprintf(stderr, "korvun-updater-console: %s\n%s", options.error.c_str(), kUsage);
        return kFailed;
    }
    if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) {
        std::fprintf(stderr, "korvun-updater-console: cannot change to %s: %s\n",
                     options.directory.c_str(), std::strerror(errno));
        return kFailed;
    }

    IgnoreBrokenOutput();
    int signalFd = BlockStopSignals();
    korvun::NamedMutex mutex(korvun::kSingleInstanceMutexName);
    if (korvun::RunStartupChecks(mutex) != korvun::StartupCheckResult::Passed) return kFailed;

    korvun::ConsoleWindow window(stdout, isatty(STDOUT_FILENO) == 1);
    bool stopped = false;
    {
        korvun::CUpdateThread worker(window);
        window.AttachWorkerFlags(&worker.Flags());
        if (!worker.Start()) {
            window.ShowErrorText("start thread error");
        }
        while (worker.IsRunning()) {
            if (signalFd >= 0 && StopSignalArrived(signalFd, 100)) {
                stopped = true;
                worker.Stop().Set();
            } else if (signalFd < 0) {
                window.WaitForChange(100);
            }
            window.Tick();
        }
        window.AttachWorkerFlags(nullptr);
    }
    window.Finish();
    // The override of the server's version file acts for one run only.
    korvun::DeleteFile(korvun::kVersionOverrideFile);
    return ExitStatusFor(window, stopped);
}
