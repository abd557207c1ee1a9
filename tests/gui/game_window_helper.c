/* Stands in for the running game: a top-level window of class "GAME" with the title given
 * (default "Korvun"). Prints "ready" once the window is mapped, then waits to be killed. */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    const char* title = argc > 1 ? argv[1] : "Korvun";
    Display* display = XOpenDisplay(NULL);
    if (!display) {
        fprintf(stderr, "game_window_helper: cannot open display\n");
        return 1;
    }
    int screen = DefaultScreen(display);
    Window window = XCreateSimpleWindow(display, RootWindow(display, screen), 10, 10, 200, 100, 0,
                                        BlackPixel(display, screen), WhitePixel(display, screen));
    XClassHint hint;
    hint.res_name = "game";
    hint.res_class = "GAME";
    XSetClassHint(display, window, &hint);
    XStoreName(display, window, title);
    Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    XChangeProperty(display, window, netName, utf8, 8, PropModeReplace, (const unsigned char*)title,
                    (int)strlen(title));
    XSelectInput(display, window, StructureNotifyMask);
    XMapWindow(display, window);
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MapNotify) {
            printf("ready\n");
            fflush(stdout);
        }
    }
}
