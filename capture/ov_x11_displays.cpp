// Monitors from XRandR, window-to-monitor lookup.
#include "capture/displays.h"
#include "capture/ov_x11.h"
#include "capture/ov_x11_capture.h"

#include "base/log.h"
#include "capture/capture_backend.h"

#include <X11/extensions/Xrandr.h>

#include <mutex>

namespace {

// The monitors of the last portal session.
struct PortalDisplays {
    std::mutex lock;
    int count = 0;
    DisplayRect rects[kMaxDisplays]{};
    uint64_t ids[kMaxDisplays]{};
};

PortalDisplays &LastPortalDisplays() {
    static PortalDisplays displays;
    return displays;
}

int EnumeratePortalDisplays(DisplayList *list) {
    DisplayListReset(list);
    DebugLog(2, "Virtual Screen: %i, %i\n", 0, 0);
    PortalDisplays &d = LastPortalDisplays();
    std::lock_guard<std::mutex> hold(d.lock);
    for (int i = 0; i < d.count; i++)
        if (!DisplayListAdd(list, d.rects[i], d.ids[i])) break;
    return list->count;
}

} // namespace

void PublishPortalDisplays(const DisplayRect *rects, const uint64_t *ids, int count) {
    PortalDisplays &d = LastPortalDisplays();
    std::lock_guard<std::mutex> hold(d.lock);
    d.count = count < 0 ? 0 : count > kMaxDisplays ? kMaxDisplays : count;
    for (int i = 0; i < d.count; i++) {
        d.rects[i] = rects[i];
        d.ids[i] = ids[i];
    }
}

int OvEnumerateDisplays(Display *display, DisplayList *list) {
    DisplayListReset(list);
    if (!display) return 0;
    // The root window's origin is the virtual screen's origin.
    DebugLog(2, "Virtual Screen: %i, %i\n", 0, 0);
    int eventBase = 0, errorBase = 0;
    int count = 0;
    XRRMonitorInfo *monitors = nullptr;
    if (XRRQueryExtension(display, &eventBase, &errorBase)) {
        OvX11TrapBegin();
        monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
        if (OvX11TrapEnd(display)) count = 0;
    }
    for (int i = 0; i < count && monitors; i++) {
        const XRRMonitorInfo &m = monitors[i];
        DisplayRect rect{m.x, m.y, m.x + m.width, m.y + m.height};
        if (!DisplayListAdd(list, rect, m.name)) break;
    }
    if (monitors) XRRFreeMonitors(monitors);
    if (list->count == 0) {
        // A server without RandR monitors: the whole screen is one display.
        Screen *screen = DefaultScreenOfDisplay(display);
        DisplayListAdd(list, DisplayRect{0, 0, WidthOfScreen(screen), HeightOfScreen(screen)}, 0);
    }
    return list->count;
}

int EnumerateDisplays() {
    DisplayList *list = ProcessDisplayList();
    if (ChooseCaptureBackend() == CaptureBackendPortal) {
        int count = EnumeratePortalDisplays(list);
        DisplayNamesRebuild(list);
        return count;
    }
    std::lock_guard<std::mutex> lock(OvX11SharedLock());
    int count = OvEnumerateDisplays(OvX11Shared(), list);
    DisplayNamesRebuild(list);
    return count;
}

int OvDisplayIndexOfWindow(Display *display, const DisplayList *list, WindowHandle window) {
    int x = 0, y = 0, width = 0, height = 0;
    int index = -1;
    if (display && OvX11WindowRootRect(display, (Window)window, &x, &y, &width, &height, nullptr))
        index = DisplayIndexOfRect(list, DisplayRect{x, y, x + width, y + height});
    if (index < 0) DebugLog(2, "Didn't find monitor for HWND!\n");
    return index;
}

int DisplayIndexOfWindow(WindowHandle window) {
    std::lock_guard<std::mutex> lock(OvX11SharedLock());
    return OvDisplayIndexOfWindow(OvX11Shared(), ProcessDisplayList(), window);
}

int CaptureWindowSize(WindowHandle window, int32_t *width, int32_t *height) {
    *width = *height = 0;
    std::lock_guard<std::mutex> lock(OvX11SharedLock());
    Display *display = OvX11Shared();
    int x, y, w, h;
    if (!display || !window ||
        !OvX11WindowRootRect(display, (Window)window, &x, &y, &w, &h, nullptr))
        return 0;
    *width = w;
    *height = h;
    return 1;
}
