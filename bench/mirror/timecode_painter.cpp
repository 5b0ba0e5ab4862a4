// ostrel-timecode: paints the low 24 bits of CLOCK_MONOTONIC milliseconds as two rows of
// black and white cells at the top-left corner of the X screen, over and over, so that a
// receiver can tell how old each mirrored picture is (see the receiver's --timecode).
// The second row is the first inverted; a capture taken between the two fill requests
// shows a cell white in both rows and is rejected rather than misread.
//
//   ostrel-timecode [CELL_PIXELS [PERIOD_MS]]    (defaults 32 and 2; runs until killed)
//
// A long period (5000) leaves the screen still between codes, each code then being a
// change after a still period.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

constexpr int kBits = 24;

unsigned long NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (unsigned long)now.tv_sec * 1000 + (unsigned long)(now.tv_nsec / 1000000);
}

} // namespace

int main(int argc, char **argv) {
    int cell = argc > 1 ? atoi(argv[1]) : 32;
    int periodMs = argc > 2 ? atoi(argv[2]) : 2;
    if (cell < 4 || cell > 256 || periodMs < 1 || periodMs > 60000) {
        fprintf(stderr, "usage: ostrel-timecode [CELL_PIXELS 4..256 [PERIOD_MS 1..60000]]\n");
        return 2;
    }
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        fprintf(stderr, "ostrel-timecode: no X display\n");
        return 1;
    }
    int screen = DefaultScreen(display);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True; // the window manager must not move or frame it
    attributes.background_pixel = BlackPixel(display, screen);
    Window window = XCreateWindow(display, RootWindow(display, screen), 0, 0, kBits * cell,
                                  2 * cell, 0, CopyFromParent, InputOutput, CopyFromParent,
                                  CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(display, window);
    GC white = XCreateGC(display, window, 0, nullptr);
    GC black = XCreateGC(display, window, 0, nullptr);
    XSetForeground(display, white, WhitePixel(display, screen));
    XSetForeground(display, black, BlackPixel(display, screen));
    XSync(display, False);

    std::vector<XRectangle> ones, zeros;
    unsigned long lastRaise = 0;
    for (;;) {
        unsigned long ms = NowMs();
        unsigned long code = ms & ((1ul << kBits) - 1);
        ones.clear();
        zeros.clear();
        for (int bit = 0; bit < kBits; bit++) {
            bool set = (code >> (kBits - 1 - bit)) & 1;
            XRectangle upper{(short)(bit * cell), 0, (unsigned short)cell, (unsigned short)cell};
            XRectangle lower{(short)(bit * cell), (short)cell, (unsigned short)cell,
                             (unsigned short)cell};
            (set ? ones : zeros).push_back(upper);
            (set ? zeros : ones).push_back(lower);
        }
        XFillRectangles(display, window, white, ones.data(), (int)ones.size());
        XFillRectangles(display, window, black, zeros.data(), (int)zeros.size());
        if (ms - lastRaise > 200) { // other windows may have been raised over it
            XRaiseWindow(display, window);
            lastRaise = ms;
        }
        XFlush(display);
        timespec pause{periodMs / 1000, (periodMs % 1000) * 1000000L};
        nanosleep(&pause, nullptr);
        if (XPending(display)) {
            XEvent event;
            while (XPending(display))
                XNextEvent(display, &event);
        }
    }
}
