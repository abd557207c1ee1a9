// What a console program needs from the system: whether it writes to a terminal, and the
// user's request to stop (SIGINT or SIGTERM; Ctrl+C, Ctrl+Break or closing the console
// window on Windows).
#pragma once

#include <cstdio>

namespace korvun {

bool IsTerminal(std::FILE* stream);
// The width of the terminal that stream writes to, in columns; 0 when it cannot be told.
int TerminalColumns(std::FILE* stream);

// Catches the stop requests for as long as it lives (one per process), and makes writes to a
// reader that went away fail instead of ending the process. Construct it before any thread
// starts, so that every thread leaves the requests to it.
class ConsoleStopRequests {
  public:
    ConsoleStopRequests();
    ~ConsoleStopRequests();
    ConsoleStopRequests(const ConsoleStopRequests&) = delete;
    ConsoleStopRequests& operator=(const ConsoleStopRequests&) = delete;

    // False when the requests cannot be caught; the default handling then applies.
    bool Available() const;
    // Waits up to timeoutMs for a request; true when one arrived.
    bool Wait(unsigned timeoutMs);

  private:
    int fd_ = -1;
};

}  // namespace korvun
