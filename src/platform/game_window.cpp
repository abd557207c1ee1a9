#include "platform/game_window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/process.h"

namespace korvun {

namespace {

// Xlib's error handler is process-wide. While we walk another client's windows, any of them
// may vanish, and the default handler would end the process over the resulting BadWindow.
// The lock keeps two walks from swapping the handler under each other.
std::mutex errorHandlerMutex;

int IgnoreError(Display*, XErrorEvent*) { return 0; }

class ScopedErrorHandler {
  public:
    ScopedErrorHandler() : lock_(errorHandlerMutex), previous_(XSetErrorHandler(IgnoreError)) {}
    ~ScopedErrorHandler() { XSetErrorHandler(previous_); }
    ScopedErrorHandler(const ScopedErrorHandler&) = delete;
    ScopedErrorHandler& operator=(const ScopedErrorHandler&) = delete;

  private:
    std::lock_guard<std::mutex> lock_;
    XErrorHandler previous_;
};

class DisplayConnection {
  public:
    DisplayConnection() : display_(XOpenDisplay(nullptr)) {}
    ~DisplayConnection() {
        if (display_) XCloseDisplay(display_);
    }
    DisplayConnection(const DisplayConnection&) = delete;
    DisplayConnection& operator=(const DisplayConnection&) = delete;
    Display* get() const { return display_; }

  private:
    Display* display_;
};

std::vector<Window> Children(Display* display, Window window) {
    Window root, parent;
    Window* children = nullptr;
    unsigned count = 0;
    std::vector<Window> result;
    if (XQueryTree(display, window, &root, &parent, &children, &count) != 0 && children) {
        result.assign(children, children + count);
    }
    if (children) XFree(children);
    return result;
}

bool HasProperty(Display* display, Window window, Atom property) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    int status = XGetWindowProperty(display, window, property, 0, 0, False, AnyPropertyType, &type,
                                    &format, &count, &after, &data);
    if (data) XFree(data);
    return status == Success && type != None;
}

// The client window a window manager's frame holds: the first descendant with WM_STATE,
// searched breadth-first as window managers nest frames only a few levels deep.
std::optional<Window> ClientOf(Display* display, Window frame, Atom wmState) {
    std::vector<Window> level = Children(display, frame);
    for (int depth = 0; depth < 4 && !level.empty(); ++depth) {
        std::vector<Window> next;
        for (Window window : level) {
            if (HasProperty(display, window, wmState)) return window;
            std::vector<Window> below = Children(display, window);
            next.insert(next.end(), below.begin(), below.end());
        }
        level = std::move(next);
    }
    return std::nullopt;
}

std::optional<std::string> ClassOf(Display* display, Window window) {
    XClassHint hint{nullptr, nullptr};
    if (XGetClassHint(display, window, &hint) == 0) return std::nullopt;
    std::optional<std::string> windowClass;
    if (hint.res_class) windowClass = hint.res_class;
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
    return windowClass;
}

std::optional<std::string> Utf8Property(Display* display, Window window, Atom property, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<std::string> value;
    if (XGetWindowProperty(display, window, property, 0, 1024, False, type, &actualType, &format,
                           &count, &after, &data) == Success &&
        actualType == type && format == 8 && data) {
        value = std::string(reinterpret_cast<char*>(data), count);
    }
    if (data) XFree(data);
    return value;
}

bool TitleMatches(Display* display, Window window, const std::string& title, Atom netWmName,
                  Atom utf8String) {
    char* name = nullptr;
    if (XFetchName(display, window, &name) != 0 && name) {
        bool same = title == name;
        XFree(name);
        if (same) return true;
    }
    std::optional<std::string> netName = Utf8Property(display, window, netWmName, utf8String);
    return netName && *netName == title;
}

std::optional<long> PidOf(Display* display, Window window, Atom netWmPid) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<long> pid;
    if (XGetWindowProperty(display, window, netWmPid, 0, 1, False, XA_CARDINAL, &actualType,
                           &format, &count, &after, &data) == Success &&
        actualType == XA_CARDINAL && format == 32 && count == 1 && data) {
        // Format 32 properties arrive as longs, whatever the width of long.
        pid = *reinterpret_cast<long*>(data);
    }
    if (data) XFree(data);
    return pid;
}

// A file by identity, so that any name or link leading to it compares equal.
struct FileId {
    dev_t device;
    ino_t inode;
};

std::optional<FileId> IdOf(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileId{st.st_dev, st.st_ino};
}

// Whether process pid runs the program file. A native program is /proc/PID/exe; under Wine
// that is the Wine loader, and the Windows program is an image Wine has mapped from its file,
// so the process's mappings name it (by device and inode, whatever path or drive letter it
// was started under).
bool RunsProgram(long pid, const FileId& program) {
    const std::string proc = "/proc/" + std::to_string(pid);
    if (std::optional<FileId> exe = IdOf(proc + "/exe");
        exe && exe->device == program.device && exe->inode == program.inode) {
        return true;
    }
    std::ifstream maps(proc + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned major = 0, minor = 0;
        uintmax_t inode = 0;
        if (std::sscanf(line.c_str(), "%*s %*s %*s %x:%x %" SCNuMAX, &major, &minor, &inode) == 3 &&
            inode == program.inode && makedev(major, minor) == program.device) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool FindTopLevelWindow(const std::string& windowClass, const std::string& title,
                        const std::string& program) {
    // The handler outlives the connection: closing it flushes requests that may still fail.
    ScopedErrorHandler handler;
    DisplayConnection connection;
    Display* display = connection.get();
    if (display == nullptr) return false;

    const Atom wmState = XInternAtom(display, "WM_STATE", False);
    const Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8String = XInternAtom(display, "UTF8_STRING", False);
    const Atom netWmPid = XInternAtom(display, "_NET_WM_PID", False);
    std::optional<FileId> programId;
    if (std::optional<std::string> path = FindProgram(program)) programId = IdOf(*path);
    auto matches = [&](Window window) {
        if (!TitleMatches(display, window, title, netWmName, utf8String)) return false;
        std::optional<std::string> foundClass = ClassOf(display, window);
        if (foundClass && *foundClass == windowClass) return true;
        std::optional<long> pid = PidOf(display, window, netWmPid);
        return programId && pid && *pid > 0 && RunsProgram(*pid, *programId);
    };

    for (int screen = 0; screen < ScreenCount(display); ++screen) {
        for (Window topLevel : Children(display, RootWindow(display, screen))) {
            if (matches(topLevel)) return true;
            if (HasProperty(display, topLevel, wmState)) continue;
            if (std::optional<Window> client = ClientOf(display, topLevel, wmState);
                client && matches(*client)) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace korvun
