// ostrel-test-busy-screen: keeps part of the X screen busy, as a video would: a window
// whose content is new blocks of noise at every paint, so every captured picture differs
// throughout and the encoder wants several Mbit/s.
//
//   ostrel-test-busy-screen WIDTH HEIGHT [PERIOD_MS]   (runs until killed)
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

int main(int argc, char **argv) {
    int width = argc > 2 ? atoi(argv[1]) : 0;
    int height = argc > 2 ? atoi(argv[2]) : 0;
    int periodMs = argc > 3 ? atoi(argv[3]) : 20;
    if (width < 16 || width > 4096 || height < 16 || height > 4096 || periodMs < 1 ||
        periodMs > 1000) {
        fprintf(stderr, "usage: ostrel-test-busy-screen WIDTH HEIGHT [PERIOD_MS]\n");
        return 2;
    }
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        fprintf(stderr, "ostrel-test-busy-screen: no X display\n");
        return 1;
    }
    int screen = DefaultScreen(display);
    Window window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, (unsigned)width,
                                        (unsigned)height, 0, 0, 0);
    XMapWindow(display, window);
    GC gc = XCreateGC(display, window, 0, nullptr);
    XImage *image = XCreateImage(display, DefaultVisual(display, screen), 24, ZPixmap, 0, nullptr,
                                 (unsigned)width, (unsigned)height, 32, 0);
    if (!image) return 1;
    image->data = (char *)calloc((size_t)image->bytes_per_line, (size_t)height);
    if (!image->data) return 1;
    unsigned seed = 1;
    // Blocks of 4x4 pixels: noise the encoder cannot predict, yet not pure pixel noise.
    const int block = 4;
    timespec period{periodMs / 1000, (long)(periodMs % 1000) * 1000000};
    for (;;) {
        for (int by = 0; by < height; by += block)
            for (int bx = 0; bx < width; bx += block) {
                seed = seed * 1103515245u + 12345u;
                unsigned long pixel = (seed >> 8) & 0xffffff;
                for (int y = by; y < by + block && y < height; y++)
                    for (int x = bx; x < bx + block && x < width; x++)
                        XPutPixel(image, x, y, pixel);
            }
        XPutImage(display, window, gc, image, 0, 0, 0, 0, (unsigned)width, (unsigned)height);
        XFlush(display);
        nanosleep(&period, nullptr);
    }
}
