#include <io.h>
#include <windows.h>

#include "platform/console.h"
#include "platform/stop_event.h"

namespace korvun {

namespace {

// The handler runs on a thread of its own that the system starts; it only sets the event.
StopEvent* requests = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        if (requests) requests->Set();
        return TRUE;
    }
    return FALSE;
}

}  // namespace

bool IsTerminal(std::FILE* stream) { return ::_isatty(::_fileno(stream)) != 0; }

int TerminalColumns(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    HANDLE console = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    if (!GetConsoleScreenBufferInfo(console, &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

ConsoleStopRequests::ConsoleStopRequests() {
    static StopEvent event;
    requests = &event;
    // Texts are UTF-8 inside; the console shows them as such.
    SetConsoleOutputCP(CP_UTF8);
    fd_ = SetConsoleCtrlHandler(OnConsoleControl, TRUE) ? 0 : -1;
}

ConsoleStopRequests::~ConsoleStopRequests() {
    if (fd_ >= 0) SetConsoleCtrlHandler(OnConsoleControl, FALSE);
}

bool ConsoleStopRequests::Available() const { return fd_ >= 0; }

bool ConsoleStopRequests::Wait(unsigned timeoutMs) {
    // A request is consumed once: the caller sets its own stop event and keeps waiting for
    // the worker.
    static bool reported = false;
    if (reported) {
        Sleep(timeoutMs);
        return false;
    }
    reported = requests && requests->Wait(timeoutMs);
    return reported;
}

}  // namespace korvun
