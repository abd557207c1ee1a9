/* Measures how fast a window repaints after an expose: maps a white override-redirect window
 * over x,y (w x h), removes it, and polls the root window's pixel at the middle of that area
 * until it shows the colour RRGGBB again. Prints the milliseconds it took, or "timeout" after
 * 5 seconds. */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double Now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

static unsigned long PixelAt(Display* display, Window root, int x, int y) {
    XImage* image = XGetImage(display, root, x, y, 1, 1, AllPlanes, ZPixmap);
    unsigned long pixel = XGetPixel(image, 0, 0) & 0xffffff;
    XDestroyImage(image);
    return pixel;
}

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: expose_probe X Y WIDTH HEIGHT RRGGBB\n");
        return 2;
    }
    unsigned long expected = strtoul(argv[5], NULL, 16);
    int x = atoi(argv[1]), y = atoi(argv[2]), w = atoi(argv[3]), h = atoi(argv[4]);
    Display* display = XOpenDisplay(NULL);
    if (!display) return 1;
    int screen = DefaultScreen(display);
    Window root = RootWindow(display, screen);
    XSetWindowAttributes attributes;
    attributes.override_redirect = True;
    attributes.background_pixel = WhitePixel(display, screen);
    Window cover = XCreateWindow(display, root, x, y, w, h, 0, CopyFromParent, InputOutput,
                                 CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(display, cover);
    XSync(display, False);
    double start = Now();
    while (PixelAt(display, root, x + w / 2, y + h / 2) != 0xffffff) {
        if (Now() - start > 5000) break;
    }
    struct timespec pause = {0, 30 * 1000 * 1000};
    nanosleep(&pause, NULL);
    XUnmapWindow(display, cover);
    XSync(display, False);
    start = Now();
    while (PixelAt(display, root, x + w / 2, y + h / 2) != expected) {
        if (Now() - start > 5000) {
            printf("timeout\n");
            return 1;
        }
        struct timespec step = {0, 1000 * 1000};
        nanosleep(&step, NULL);
    }
    printf("%.1f\n", Now() - start);
    return 0;
}
