#include "platform/console.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace korvun {

namespace {

void IgnoreBrokenPipeSignal(int) {}

}  // namespace

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

int TerminalColumns(std::FILE* stream) {
    struct winsize size {};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

ConsoleStopRequests::ConsoleStopRequests() {
    // Output is a courtesy: a reader that goes away (`| head`) must not kill the process in
    // the middle of an extraction; failed writes are simply lost. A handler rather than
    // SIG_IGN, so that the programs it starts get the default back.
    struct sigaction action {};
    action.sa_handler = IgnoreBrokenPipeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);

    // SIGINT and SIGTERM arrive through a descriptor that the waiting loop polls, so that
    // the stop event is set from an ordinary thread and never from a signal handler. They are
    // blocked before any thread starts, so that every thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    fd_ = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
}

ConsoleStopRequests::~ConsoleStopRequests() {
    if (fd_ >= 0) ::close(fd_);
}

bool ConsoleStopRequests::Available() const { return fd_ >= 0; }

bool ConsoleStopRequests::Wait(unsigned timeoutMs) {
    pollfd fd{fd_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(timeoutMs)) <= 0) return false;
    signalfd_siginfo info;
    return read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info);
}

}  // namespace korvun
