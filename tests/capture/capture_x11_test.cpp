// Capture against a real X server: monitors, both capture methods, the cursor overlay,
// occlusion, lost windows and the window lists.
// GoogleTest before Xlib: Xlib defines None and Bool as macros.
#include <gtest/gtest.h>

#include "capture/capture_method.h"
#include "capture/display_watch.h"
#include "capture/displays.h"
#include "capture/windows.h"
#include "capture_x_env.h"
#include "plist/cfvalue.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const unsigned long kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF, kWhite = 0xFFFFFF;

class XCapture : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = CaptureTestServer();
        ASSERT_NE(server_, nullptr) << "Xvfb/openbox did not start";
        display_ = CaptureTestDisplay();
        ASSERT_NE(display_, nullptr);
        session_ = CaptureSessionOpen();
        ASSERT_NE(session_, nullptr);
        ASSERT_GE(EnumerateDisplays(), 1);
    }
    void TearDown() override {
        for (Window w : windows_)
            XDestroyWindow(display_, w);
        if (display_) XSync(display_, False);
        if (cursor_) XFreeCursor(display_, cursor_);
        CaptureSessionClose(session_);
    }
    TestWindow MakeWindow(int x, int y, int w, int h, unsigned long bg, const char *title,
                          const char *klass = "OstrelTest") {
        TestWindow tw{};
        EXPECT_TRUE(TestWindowCreate(display_, &tw, x, y, w, h, bg, title, klass));
        windows_.push_back(tw.window);
        return tw;
    }
    // One capture with a fresh method object.
    std::vector<uint8_t> CaptureOnce(const CaptureMethodOps &ops, WindowHandle window,
                                     int displayIndex, bool cursor, CaptureGeometry *geometry,
                                     int *result = nullptr) {
        CaptureGeometry g{};
        ops.geometry(session_, ProcessDisplayList(), window, displayIndex, &g);
        if (geometry) *geometry = g;
        std::vector<uint8_t> slot((size_t)g.rect.width * g.rect.height * 4, 0xAB);
        void *object = ops.create(session_);
        EXPECT_NE(object, nullptr);
        EXPECT_EQ(ops.prepare(object, window, g.rect.width, g.rect.height), 1);
        CaptureFrameRequest request{
            window,    g.rect,   window != 0, displayIndex, cursor && g.cursorInside,
            g.cursorX, g.cursorY, 0,           0, 0, 0, 0};
        int r = ops.capture(object, &request, slot.data());
        if (result) *result = r;
        ops.destroy(object);
        return slot;
    }
    void DefineSolidCursor(Window window, unsigned long fgRgb, unsigned long bgRgb, int hotX,
                           int hotY, bool halfSource) {
        // 8x8: source bits all set (or the left half only), mask all set.
        unsigned char source[8], mask[8];
        for (int i = 0; i < 8; i++) {
            source[i] = halfSource ? 0x0F : 0xFF; // bit 0 is the leftmost pixel
            mask[i] = 0xFF;
        }
        Window root = DefaultRootWindow(display_);
        Pixmap s = XCreateBitmapFromData(display_, root, (const char *)source, 8, 8);
        Pixmap m = XCreateBitmapFromData(display_, root, (const char *)mask, 8, 8);
        auto colour = [](unsigned long rgb) {
            XColor c{};
            c.red = ((rgb >> 16) & 255) * 257;
            c.green = ((rgb >> 8) & 255) * 257;
            c.blue = (rgb & 255) * 257;
            c.flags = DoRed | DoGreen | DoBlue;
            return c;
        };
        XColor fg = colour(fgRgb), bg = colour(bgRgb);
        cursor_ = XCreatePixmapCursor(display_, s, m, &fg, &bg, hotX, hotY);
        XFreePixmap(display_, s);
        XFreePixmap(display_, m);
        XDefineCursor(display_, window, cursor_);
        XSync(display_, False);
    }
    void WarpPointer(int x, int y) {
        XWarpPointer(display_, None, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
        XSync(display_, False);
    }
    const TestXServer *server_ = nullptr;
    Display *display_ = nullptr;
    CaptureSession *session_ = nullptr;
    std::vector<Window> windows_;
    Cursor cursor_ = 0;
};

// BGRX of slot pixel (x, y) as 0xRRGGBB.
unsigned long Rgb(const std::vector<uint8_t> &slot, int width, int x, int y) {
    const uint8_t *p = &slot[((size_t)y * width + x) * 4];
    return ((unsigned long)p[2] << 16) | ((unsigned long)p[1] << 8) | p[0];
}

// Counts pixels of colour in the rectangle (x0, y0)-(x1, y1) exclusive.
int CountColour(const std::vector<uint8_t> &slot, int width, int x0, int y0, int x1, int y1,
                unsigned long rgb) {
    int n = 0;
    for (int y = y0; y < y1; y++)
        for (int x = x0; x < x1; x++)
            n += Rgb(slot, width, x, y) == rgb;
    return n;
}

TEST_F(XCapture, MonitorsAreListedWithNamesAndWindowsMapToThem) {
    DisplayList *list = ProcessDisplayList();
    ASSERT_EQ(list->count, 1);
    EXPECT_STREQ(list->names[0], "Display 1 - (1600x1200)");
    // The watch reports the change below: monitors set by a client send no RandR event,
    // so this exercises its periodic comparison.
    std::atomic<int> changes{0};
    DisplayWatch *watch = DisplayWatchStart(
        [](void *context) { static_cast<std::atomic<int> *>(context)->fetch_add(1); }, &changes);
    ASSERT_NE(watch, nullptr);

    ASSERT_EQ(TestRunProgram(*server_,
                             {"xrandr", "--setmonitor", "LEFT", "1000/264x1200/317+0+0", "screen"},
                             10000),
              0);
    ASSERT_EQ(TestRunProgram(*server_,
                             {"xrandr", "--setmonitor", "RIGHT", "600/159x1200/317+1000+0", "none"},
                             10000),
              0);
    EXPECT_TRUE(WaitUntil([&] { return changes.load() >= 1; }, 5000));
    auto stopStart = std::chrono::steady_clock::now();
    DisplayWatchStop(watch);
    EXPECT_LT(std::chrono::steady_clock::now() - stopStart, std::chrono::milliseconds(500));
    int seen = changes.load();
    EXPECT_LE(seen, 2) << "one change reported many times";
    ASSERT_EQ(EnumerateDisplays(), 2);
    EXPECT_STREQ(list->names[0], "Display 1 - (1000x1200)");
    EXPECT_STREQ(list->names[1], "Display 2 - (600x1200)");
    EXPECT_EQ(list->rects[1].left, 1000);
    EXPECT_EQ(list->rects[1].right, 1600);
    CFValue *names = DisplayNames();
    ASSERT_EQ(CFArrayCount(names), 2u);
    EXPECT_STREQ(CFStringText(CFArrayGet(names, 1)), "Display 2 - (600x1200)");

    TestWindow a = MakeWindow(50, 50, 100, 100, kRed, "left one");
    TestWindow b = MakeWindow(1100, 100, 200, 100, kGreen, "right one");
    EXPECT_EQ(DisplayIndexOfWindow(a.window), 0);
    EXPECT_EQ(DisplayIndexOfWindow(b.window), 1);
    EXPECT_EQ(DisplayIndexOfWindow(0x7FFFFFF), -1);

    // The display geometry of display 1 is its own rectangle.
    CaptureGeometry g{};
    ASSERT_EQ(kFrontBufferCaptureOps.geometry(session_, list, 0, 1, &g), 1);
    EXPECT_EQ(g.rect.left, 1000);
    EXPECT_EQ(g.rect.width, 600);
    EXPECT_EQ(g.rect.height, 1200);
    EXPECT_EQ(kFrontBufferCaptureOps.geometry(session_, list, 0, 5, &g), 0);
    EXPECT_EQ(g.rect.width, 0);

    // Back to the one automatic monitor for whatever runs next on this server.
    EXPECT_EQ(TestRunProgram(*server_, {"xrandr", "--delmonitor", "LEFT"}, 10000), 0);
    EXPECT_EQ(TestRunProgram(*server_, {"xrandr", "--delmonitor", "RIGHT"}, 10000), 0);
    EXPECT_EQ(EnumerateDisplays(), 1);
    EXPECT_STREQ(list->names[0], "Display 1 - (1600x1200)");
}

TEST_F(XCapture, FrontBufferCapturesDisplayAndWindowPixels) {
    ASSERT_EQ(ChooseCaptureMethod(session_), CaptureMethodFrontBuffer);
    TestWindow w = MakeWindow(100, 120, 200, 150, kRed, "shapes");
    TestWindowFill(&w, 30, 40, 20, 10, kGreen);
    int wx = 0, wy = 0;
    ASSERT_TRUE(TestWindowRootPosition(display_, w.window, &wx, &wy));

    CaptureGeometry g{};
    auto screen = CaptureOnce(kFrontBufferCaptureOps, 0, 0, false, &g);
    const int sw = kTestScreenWidth;
    ASSERT_EQ(g.rect.width, sw);
    ASSERT_EQ(g.rect.height, kTestScreenHeight);
    EXPECT_EQ(Rgb(screen, sw, wx + 5, wy + 5), kRed);
    EXPECT_EQ(Rgb(screen, sw, wx + 35, wy + 45), kGreen);
    EXPECT_EQ(CountColour(screen, sw, wx, wy, wx + 200, wy + 150, kGreen), 200);

    auto own = CaptureOnce(kFrontBufferCaptureOps, w.window, 0, false, &g);
    EXPECT_EQ(g.rect.left, wx);
    EXPECT_EQ(g.rect.top, wy);
    ASSERT_EQ(g.rect.width, 200);
    ASSERT_EQ(g.rect.height, 150);
    EXPECT_EQ(CountColour(own, 200, 0, 0, 200, 150, kRed), 200 * 150 - 200);
    EXPECT_EQ(CountColour(own, 200, 30, 40, 50, 50, kGreen), 200);
}

TEST_F(XCapture, MovedAndResizedWindowIsFollowed) {
    TestWindow w = MakeWindow(100, 100, 200, 150, kRed, "mover");
    CaptureGeometry g{};
    ASSERT_EQ(kFrontBufferCaptureOps.geometry(session_, ProcessDisplayList(), w.window, 0, &g), 1);
    int oldLeft = g.rect.left;
    XMoveResizeWindow(display_, w.window, 400, 300, 260, 120);
    XSync(display_, False);
    ASSERT_TRUE(WaitUntil(
        [&] {
            CaptureGeometry now{};
            kFrontBufferCaptureOps.geometry(session_, ProcessDisplayList(), w.window, 0, &now);
            return now.rect.width == 260 && now.rect.height == 120 && now.rect.left != oldLeft;
        },
        3000));
    for (const CaptureMethodOps *ops : {&kFrontBufferCaptureOps, &kWindowCaptureOps}) {
        auto slot = CaptureOnce(*ops, w.window, 0, false, &g);
        ASSERT_EQ(g.rect.width, 260);
        ASSERT_EQ(g.rect.height, 120);
        EXPECT_EQ(CountColour(slot, 260, 0, 0, 260, 120, kRed), 260 * 120) << ops->method;
    }
}

TEST_F(XCapture, WindowPartlyOffScreenIsCutToTheScreen) {
    TestWindow w = MakeWindow(100, 100, 300, 200, kRed, "edge");
    XMoveWindow(display_, w.window, kTestScreenWidth - 180, kTestScreenHeight - 100);
    XSync(display_, False);
    int wx = 0, wy = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            return TestWindowRootPosition(display_, w.window, &wx, &wy) &&
                   wx >= kTestScreenWidth - 300;
        },
        3000));
    CaptureGeometry g{};
    ASSERT_EQ(kWindowCaptureOps.geometry(session_, ProcessDisplayList(), w.window, 0, &g), 1);
    EXPECT_EQ(g.rect.left, 0);
    EXPECT_EQ(g.rect.width, kTestScreenWidth - wx);
    EXPECT_EQ(g.rect.height, kTestScreenHeight - wy);
    int result = 0;
    auto slot = CaptureOnce(kWindowCaptureOps, w.window, 0, false, &g, &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(CountColour(slot, g.rect.width, 0, 0, g.rect.width, g.rect.height, kRed),
              g.rect.width * g.rect.height);
    ASSERT_EQ(kFrontBufferCaptureOps.geometry(session_, ProcessDisplayList(), w.window, 0, &g), 1);
    EXPECT_EQ(g.rect.left + g.rect.width, kTestScreenWidth);
    EXPECT_EQ(g.rect.top + g.rect.height, kTestScreenHeight);
}

TEST_F(XCapture, FrontBufferLeavesOutPanelsAroundTheWorkArea) {
    // A 40-pixel panel along the bottom edge that reserves its space.
    XSetWindowAttributes attributes{};
    attributes.background_pixel = kBlue;
    Window panel = XCreateWindow(display_, DefaultRootWindow(display_), 0, kTestScreenHeight - 40,
                                 kTestScreenWidth, 40, 0, CopyFromParent, InputOutput,
                                 CopyFromParent, CWBackPixel, &attributes);
    windows_.push_back(panel);
    Atom dockType = XInternAtom(display_, "_NET_WM_WINDOW_TYPE_DOCK", False);
    XChangeProperty(display_, panel, XInternAtom(display_, "_NET_WM_WINDOW_TYPE", False), XA_ATOM,
                    32, PropModeReplace, (const unsigned char *)&dockType, 1);
    long strut[12] = {0, 0, 0, 40, 0, 0, 0, 0, 0, 0, 0, kTestScreenWidth - 1};
    XChangeProperty(display_, panel, XInternAtom(display_, "_NET_WM_STRUT_PARTIAL", False),
                    XA_CARDINAL, 32, PropModeReplace, (const unsigned char *)strut, 12);
    XMapWindow(display_, panel);
    XSync(display_, False);
    Atom workAreaAtom = XInternAtom(display_, "_NET_WORKAREA", False);
    auto workHeight = [&]() -> long {
        Atom type;
        int format;
        unsigned long n = 0, after = 0;
        unsigned char *data = nullptr;
        long h = -1;
        if (XGetWindowProperty(display_, DefaultRootWindow(display_), workAreaAtom, 0, 4, False,
                               XA_CARDINAL, &type, &format, &n, &after, &data) == Success &&
            n == 4)
            h = ((long *)data)[3];
        if (data) XFree(data);
        return h;
    };
    ASSERT_TRUE(WaitUntil([&] { return workHeight() == kTestScreenHeight - 40; }, 3000));

    TestWindow w = MakeWindow(100, 100, 300, 200, kRed, "low");
    XMoveWindow(display_, w.window, 200, kTestScreenHeight - 120);
    XSync(display_, False);
    int wx = 0, wy = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            return TestWindowRootPosition(display_, w.window, &wx, &wy) &&
                   wy + 200 > kTestScreenHeight - 40;
        },
        3000));
    CaptureGeometry g{};
    ASSERT_EQ(kFrontBufferCaptureOps.geometry(session_, ProcessDisplayList(), w.window, 0, &g), 1);
    EXPECT_EQ(g.rect.top, wy);
    EXPECT_EQ(g.rect.top + g.rect.height, kTestScreenHeight - 40);
    EXPECT_EQ(g.rect.width, 300);
    auto slot = CaptureOnce(kFrontBufferCaptureOps, w.window, 0, false, &g);
    EXPECT_EQ(CountColour(slot, g.rect.width, 0, 0, g.rect.width, g.rect.height, kBlue), 0);
}

TEST_F(XCapture, WindowMethodReadsOwnContentsUnderAnotherWindow) {
    TestWindow w = MakeWindow(100, 100, 200, 150, kRed, "under");
    void *object = kWindowCaptureOps.create(session_);
    ASSERT_NE(object, nullptr);
    CaptureGeometry g{};
    ASSERT_EQ(kWindowCaptureOps.geometry(session_, ProcessDisplayList(), w.window, 0, &g), 1);
    ASSERT_EQ(kWindowCaptureOps.prepare(object, w.window, g.rect.width, g.rect.height), 1);
    // Drawn after the window's contents went off-screen, so they are kept there.
    TestWindowFill(&w, 10, 10, 30, 20, kGreen);
    int wx = 0, wy = 0;
    TestWindowRootPosition(display_, w.window, &wx, &wy);
    TestWindow cover = MakeWindow(wx - 20, wy - 20, 150, 120, kBlue, "cover");
    XRaiseWindow(display_, cover.window);
    XSync(display_, False);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowCovered(session_, w.window) == 1; }, 3000));

    std::vector<uint8_t> slot((size_t)g.rect.width * g.rect.height * 4, 0);
    CaptureFrameRequest request{w.window, g.rect, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(kWindowCaptureOps.capture(object, &request, slot.data()), 1);
    EXPECT_EQ(CountColour(slot, 200, 0, 0, 200, 150, kBlue), 0);
    EXPECT_EQ(CountColour(slot, 200, 10, 10, 40, 30, kGreen), 600);
    EXPECT_EQ(CountColour(slot, 200, 0, 0, 200, 150, kRed), 200 * 150 - 600);
    kWindowCaptureOps.destroy(object);
}

TEST_F(XCapture, FrontBufferRepeatsLastCleanFrameWhileCovered) {
    TestWindow w = MakeWindow(100, 100, 200, 150, kRed, "covered");
    int wx = 0, wy = 0;
    TestWindowRootPosition(display_, w.window, &wx, &wy);
    CaptureGeometry g{};
    ASSERT_EQ(kFrontBufferCaptureOps.geometry(session_, ProcessDisplayList(), w.window, 0, &g), 1);
    CaptureFrameRequest request{w.window, g.rect, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<uint8_t> slot((size_t)200 * 150 * 4, 0);

    void *object = kFrontBufferCaptureOps.create(session_);
    ASSERT_EQ(kFrontBufferCaptureOps.capture(object, &request, slot.data()), 1);
    ASSERT_EQ(CountColour(slot, 200, 0, 0, 200, 150, kRed), 200 * 150);

    EXPECT_EQ(IsWindowCovered(session_, w.window), 0);
    TestWindow cover = MakeWindow(wx + 50, wy + 50, 200, 150, kBlue, "cover");
    ASSERT_TRUE(WaitUntil([&] { return IsWindowCovered(session_, w.window) == 1; }, 3000));
    std::fill(slot.begin(), slot.end(), 0x11);
    ASSERT_EQ(kFrontBufferCaptureOps.capture(object, &request, slot.data()), 1);
    EXPECT_EQ(CountColour(slot, 200, 0, 0, 200, 150, kRed), 200 * 150);

    // A fresh object has no clean frame yet: the slot keeps what it held.
    void *fresh = kFrontBufferCaptureOps.create(session_);
    std::fill(slot.begin(), slot.end(), 0x11);
    EXPECT_EQ(kFrontBufferCaptureOps.capture(fresh, &request, slot.data()), 1);
    EXPECT_EQ(CountColour(slot, 200, 0, 0, 200, 150, 0x111111), 200 * 150);
    kFrontBufferCaptureOps.destroy(fresh);

    // Once the cover is gone the live picture comes back.
    XUnmapWindow(display_, cover.window);
    XSync(display_, False);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowCovered(session_, w.window) == 0; }, 3000));
    // The manager unmaps the cover's frame a moment later, which repaints the uncovered
    // part with the background: draw until the drawing sticks.
    EXPECT_TRUE(WaitUntil(
        [&] {
            TestWindowFill(&w, 0, 0, 200, 150, kGreen);
            return kFrontBufferCaptureOps.capture(object, &request, slot.data()) == 1 &&
                   CountColour(slot, 200, 0, 0, 200, 150, kGreen) == 200 * 150;
        },
        3000));
    kFrontBufferCaptureOps.destroy(object);
}

TEST_F(XCapture, DockAndPopupsDoNotCountAsCover) {
    TestWindow w = MakeWindow(100, 100, 300, 200, kRed, "main");
    int wx = 0, wy = 0;
    TestWindowRootPosition(display_, w.window, &wx, &wy);

    // An override-redirect popup over it (menus, tooltips): never managed.
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = kBlue;
    Window popup = XCreateWindow(display_, DefaultRootWindow(display_), wx + 10, wy + 10, 50, 50, 0,
                                 CopyFromParent, InputOutput, CopyFromParent,
                                 CWOverrideRedirect | CWBackPixel, &attributes);
    windows_.push_back(popup);
    XMapRaised(display_, popup);
    XSync(display_, False);
    EXPECT_EQ(IsWindowCovered(session_, w.window), 0);

    // A dock-type window lying over it.
    TestWindow dock{};
    dock.display = display_;
    Atom type = XInternAtom(display_, "_NET_WM_WINDOW_TYPE", False);
    Atom dockType = XInternAtom(display_, "_NET_WM_WINDOW_TYPE_DOCK", False);
    attributes.override_redirect = False;
    dock.window =
        XCreateWindow(display_, DefaultRootWindow(display_), wx, wy, 300, 30, 0, CopyFromParent,
                      InputOutput, CopyFromParent, CWBackPixel, &attributes);
    windows_.push_back(dock.window);
    XChangeProperty(display_, dock.window, type, XA_ATOM, 32, PropModeReplace,
                    (const unsigned char *)&dockType, 1);
    XMapRaised(display_, dock.window);
    XSync(display_, False);
    ASSERT_TRUE(WaitUntil([&] { return TestWindowIsManaged(display_, dock.window); }, 3000));
    int dx = 0, dy = 0;
    ASSERT_TRUE(TestWindowRootPosition(display_, dock.window, &dx, &dy));
    bool overlaps = dx < wx + 300 && wx < dx + 300 && dy < wy + 200 && wy < dy + 30;
    if (overlaps) {
        EXPECT_EQ(IsWindowCovered(session_, w.window), 0);
    }

    // An ordinary window above it but beside it does not; one that overlaps does.
    TestWindow beside = MakeWindow(wx + 600, wy + 400, 100, 100, kGreen, "beside");
    ASSERT_TRUE(WaitUntil([&] { return TestWindowIsManaged(display_, beside.window); }, 3000));
    EXPECT_EQ(IsWindowCovered(session_, w.window), 0);
    MakeWindow(wx + 100, wy + 100, 100, 100, kGreen, "other");
    EXPECT_TRUE(WaitUntil([&] { return IsWindowCovered(session_, w.window) == 1; }, 3000));
}

TEST_F(XCapture, CursorLandsAtHotSpotAndIsClippedAtEdges) {
    TestWindow w = MakeWindow(100, 100, 200, 150, kRed, "cursor");
    int wx = 0, wy = 0;
    TestWindowRootPosition(display_, w.window, &wx, &wy);
    DefineSolidCursor(w.window, kBlue, kBlue, 2, 3, false);
    WarpPointer(wx + 50, wy + 60);

    for (const CaptureMethodOps *ops : {&kFrontBufferCaptureOps, &kWindowCaptureOps}) {
        CaptureGeometry g{};
        std::vector<uint8_t> slot;
        // The server switches to the window's cursor once the pointer is inside.
        ASSERT_TRUE(WaitUntil(
            [&] {
                slot = CaptureOnce(*ops, w.window, 0, true, &g);
                return g.cursorInside && CountColour(slot, 200, 0, 0, 200, 150, kBlue) == 64;
            },
            3000))
            << "method " << ops->method;
        EXPECT_EQ(CountColour(slot, 200, 48, 57, 56, 65, kBlue), 64) << ops->method;
        EXPECT_EQ(Rgb(slot, 200, 47, 57), kRed);
        EXPECT_EQ(Rgb(slot, 200, 48, 56), kRed);
    }

    // Near the bottom-right corner only the inside part is drawn.
    WarpPointer(wx + 198, wy + 148);
    for (const CaptureMethodOps *ops : {&kFrontBufferCaptureOps, &kWindowCaptureOps}) {
        CaptureGeometry g{};
        auto slot = CaptureOnce(*ops, w.window, 0, true, &g);
        ASSERT_EQ(g.rect.width, 200);
        // Cell from (196, 145): columns 196..199, rows 145..149.
        EXPECT_EQ(CountColour(slot, 200, 0, 0, 200, 150, kBlue), 4 * 5) << ops->method;
        EXPECT_EQ(CountColour(slot, 200, 196, 145, 200, 150, kBlue), 20) << ops->method;
    }
    // Without the cursor flag nothing is drawn.
    CaptureGeometry g{};
    auto plain = CaptureOnce(kFrontBufferCaptureOps, w.window, 0, false, &g);
    EXPECT_EQ(CountColour(plain, 200, 0, 0, 200, 150, kRed), 200 * 150);

    // The cursor image is kept between frames: a new one must still show up.
    WarpPointer(wx + 50, wy + 60);
    CaptureOnce(kFrontBufferCaptureOps, w.window, 0, true, &g);
    DefineSolidCursor(w.window, kGreen, kGreen, 2, 3, false);
    std::vector<uint8_t> slot;
    EXPECT_TRUE(WaitUntil(
        [&] {
            slot = CaptureOnce(kFrontBufferCaptureOps, w.window, 0, true, &g);
            return CountColour(slot, 200, 0, 0, 200, 150, kGreen) == 64;
        },
        3000));
    EXPECT_EQ(CountColour(slot, 200, 0, 0, 200, 150, kBlue), 0);
}

TEST_F(XCapture, TwoToneCursorContrastsWithWhatIsUnderIt) {
    TestWindow light = MakeWindow(100, 100, 200, 150, kWhite, "light");
    TestWindow dark = MakeWindow(500, 100, 200, 150, 0x202020, "dark");
    // Left half of the cell black, right half white.
    DefineSolidCursor(light.window, 0x000000, kWhite, 0, 0, true);
    XDefineCursor(display_, dark.window, cursor_);
    XSync(display_, False);
    int lx, ly, dx, dy;
    TestWindowRootPosition(display_, light.window, &lx, &ly);
    TestWindowRootPosition(display_, dark.window, &dx, &dy);

    WarpPointer(lx + 20, ly + 20);
    CaptureGeometry g{};
    std::vector<uint8_t> slot;
    ASSERT_TRUE(WaitUntil(
        [&] {
            slot = CaptureOnce(kFrontBufferCaptureOps, light.window, 0, true, &g);
            return CountColour(slot, 200, 0, 0, 200, 150, 0x000000) > 0;
        },
        3000));
    // On white, both halves come out black.
    EXPECT_EQ(CountColour(slot, 200, 20, 20, 28, 28, 0x000000), 64);

    WarpPointer(dx + 20, dy + 20);
    ASSERT_TRUE(WaitUntil(
        [&] {
            slot = CaptureOnce(kFrontBufferCaptureOps, dark.window, 0, true, &g);
            return CountColour(slot, 200, 0, 0, 200, 150, kWhite) > 0;
        },
        3000));
    EXPECT_EQ(CountColour(slot, 200, 20, 20, 24, 28, 0x000000), 32);
    EXPECT_EQ(CountColour(slot, 200, 24, 20, 28, 28, kWhite), 32);
}

TEST_F(XCapture, MinimisedOrDestroyedWindowIsLost) {
    TestWindow w = MakeWindow(100, 100, 200, 150, kRed, "to minimise");
    EXPECT_EQ(CaptureWindowLost(session_, w.window), 0);
    XIconifyWindow(display_, w.window, DefaultScreen(display_));
    XSync(display_, False);
    // The window manager marks the window hidden before it unmaps it: the lost check sees the
    // first step, the geometry only the second. Both must come.
    CaptureGeometry g{};
    ASSERT_TRUE(WaitUntil(
        [&] {
            return CaptureWindowLost(session_, w.window) == 1 &&
                   kFrontBufferCaptureOps.geometry(session_, ProcessDisplayList(), w.window, 0,
                                                   &g) == 0;
        },
        10000));
    EXPECT_EQ(g.rect.width, 0);

    TestWindow gone = MakeWindow(100, 100, 120, 80, kGreen, "to destroy");
    ASSERT_EQ(kWindowCaptureOps.geometry(session_, ProcessDisplayList(), gone.window, 0, &g), 1);
    void *front = kFrontBufferCaptureOps.create(session_);
    void *own = kWindowCaptureOps.create(session_);
    ASSERT_EQ(kWindowCaptureOps.prepare(own, gone.window, g.rect.width, g.rect.height), 1);
    XDestroyWindow(display_, gone.window);
    XSync(display_, False);
    windows_.pop_back();
    EXPECT_EQ(CaptureWindowLost(session_, gone.window), 1);
    // Capturing with the stale geometry fails cleanly instead of ending the process.
    std::vector<uint8_t> slot((size_t)g.rect.width * g.rect.height * 4, 0x22);
    CaptureFrameRequest request{gone.window, g.rect, 1, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(kWindowCaptureOps.capture(own, &request, slot.data()), 0);
    EXPECT_EQ(slot[0], 0x22);
    EXPECT_EQ(kFrontBufferCaptureOps.capture(front, &request, slot.data()), 0);
    kWindowCaptureOps.destroy(own);
    kFrontBufferCaptureOps.destroy(front);
}

TEST_F(XCapture, WindowAndApplicationListsFromTheWindowManager) {
    char dir[] = "/tmp/ostrel-apps-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string apps = std::string(dir) + "/applications";
    mkdir(apps.c_str(), 0700);
    FILE *f = fopen((apps + "/pad.desktop").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("[Desktop Entry]\nName=Test Pad\nExec=nothing\nStartupWMClass=TestPad\n", f);
    fclose(f);
    // Start the helper client before pointing the desktop-entry lookup at our folder.
    pid_t child = TestSpawnProgram(*server_, {"xeyes", "-geometry", "100x100+700+300"});
    ASSERT_GT(child, 0);
    const char *oldHome = getenv("XDG_DATA_HOME");
    const char *oldDirs = getenv("XDG_DATA_DIRS");
    std::string savedHome = oldHome ? oldHome : "", savedDirs = oldDirs ? oldDirs : "";
    setenv("XDG_DATA_HOME", dir, 1);
    setenv("XDG_DATA_DIRS", dir, 1);

    WindowTracker *tracker = WindowTrackerCreate();
    tracker->excludeOwnWindows = 0;
    MakeWindow(40, 40, 100, 80, kRed, "b", "TestPad");
    MakeWindow(60, 60, 100, 80, kRed, "a", "TestPad");
    MakeWindow(80, 80, 100, 80, kRed, "c", "TestPad");
    MakeWindow(300, 80, 100, 80, kGreen, "z/1", "Zed");
    TestWindow hidden = MakeWindow(500, 80, 100, 80, kBlue, "hidden one", "Alpha");
    XIconifyWindow(display_, hidden.window, DefaultScreen(display_));
    XSync(display_, False);
    ASSERT_TRUE(WaitUntil([&] { return CaptureWindowLost(session_, hidden.window) == 1; }, 3000));

    // xeyes does not name its process: it is found through the X-Resource extension.
    CFValue *list = nullptr;
    auto findEyes = [&]() -> CFValue * {
        for (uint32_t i = 0; i < CFArrayCount(list); i++)
            if (std::string(CFStringText(CFDictionaryFindText(CFArrayGet(list, i), "AppName"))) ==
                "XEyes")
                return CFArrayGet(list, i);
        return nullptr;
    };
    bool seen = WaitUntil(
        [&] {
            CFValueRelease(list);
            list = BuildAppList();
            return findEyes() != nullptr;
        },
        5000);
    EXPECT_TRUE(seen);
    if (seen) {
        EXPECT_EQ((pid_t)CFNumberGetInt(CFDictionaryFindText(findEyes(), "ProcessID")), child);
        EXPECT_STREQ(CFStringText(CFDictionaryFindText(findEyes(), "WindowName")), "xeyes");
    }
    std::vector<std::string> names;
    for (uint32_t i = 0; i < CFArrayCount(list); i++)
        names.push_back(CFStringText(CFDictionaryFindText(CFArrayGet(list, i), "AppName")));
    EXPECT_EQ(names, (std::vector<std::string>{"Test Pad", "XEyes", "Zed"}));
    CFValue *pad = CFArrayGet(list, 0);
    CFValue *children = CFDictionaryFindText(pad, "Children");
    ASSERT_EQ(CFArrayCount(children), 3u);
    for (uint32_t i = 0; i < 3; i++)
        EXPECT_STREQ(CFStringText(CFDictionaryFindText(CFArrayGet(children, i), "WindowName")),
                     std::string(1, (char)('a' + i)).c_str());
    EXPECT_EQ((pid_t)CFNumberGetInt(CFDictionaryFindText(pad, "ProcessID")), getpid());
    CFValue *zed = CFArrayGet(list, 2);
    EXPECT_STREQ(CFStringText(CFDictionaryFindText(zed, "WindowName")), "z\\/1");
    CFValueRelease(list);

    // The program's own windows are left out once the shell asks for it.
    tracker->excludeOwnWindows = 1;
    list = BuildAppList();
    names.clear();
    for (uint32_t i = 0; i < CFArrayCount(list); i++)
        names.push_back(CFStringText(CFDictionaryFindText(CFArrayGet(list, i), "AppName")));
    EXPECT_EQ(names, (std::vector<std::string>{"XEyes"}));
    CFValueRelease(list);
    tracker->excludeOwnWindows = 0;

    EndChild(child, SIGTERM, 3000);
    if (oldHome)
        setenv("XDG_DATA_HOME", savedHome.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
    if (oldDirs)
        setenv("XDG_DATA_DIRS", savedDirs.c_str(), 1);
    else
        unsetenv("XDG_DATA_DIRS");
    std::string cmd = std::string("rm -rf '") + dir + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
}

} // namespace
