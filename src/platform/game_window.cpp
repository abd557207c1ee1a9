#include "platform/game_window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <mutex>
#include <optional>
#include <vector>

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

}  // namespace

bool FindTopLevelWindow(const std::string& windowClass, const std::string& title) {
    // The handler outlives the connection: closing it flushes requests that may still fail.
    ScopedErrorHandler handler;
    DisplayConnection connection;
    Display* display = connection.get();
    if (display == nullptr) return false;

    const Atom wmState = XInternAtom(display, "WM_STATE", False);
    const Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8String = XInternAtom(display, "UTF8_STRING", False);
    auto matches = [&](Window window) {
        std::optional<std::string> foundClass = ClassOf(display, window);
        return foundClass && *foundClass == windowClass &&
               TitleMatches(display, window, title, netWmName, utf8String);
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
