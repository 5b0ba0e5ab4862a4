// Display-change watch over RandR: configuration events where the server sends them,
// and a slow comparison of the monitor list for changes that send none (monitors
// defined by a client, which RandR reports to nobody).
#include "capture/display_watch.h"
#include "capture/ov_x11.h"

#include "base/event.h"
#include "base/log.h"
#include "base/thread.h"

#include <X11/extensions/Xrandr.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace {

constexpr int kSettleMs = 250;    // events of one change arrive together
constexpr int kCompareMs = 2000;  // how often the monitor list is compared

} // namespace

struct DisplayWatch {
    void (*onChange)(void *context);
    void *context;
    Display *display;
    Event *stop;
    int eventBase;
    std::vector<long> layout; // the last monitor list, five values per monitor
    Thread thread;
};

namespace {

std::vector<long> ReadLayout(Display *display) {
    std::vector<long> layout;
    int count = 0;
    OvX11TrapBegin();
    XRRMonitorInfo *monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
    bool failed = OvX11TrapEnd(display) != 0;
    for (int i = 0; !failed && monitors && i < count; i++) {
        const XRRMonitorInfo &m = monitors[i];
        layout.insert(layout.end(), {(long)m.name, m.x, m.y, m.width, m.height});
    }
    if (monitors) XRRFreeMonitors(monitors);
    Screen *screen = DefaultScreenOfDisplay(display);
    layout.push_back(WidthOfScreen(screen));
    layout.push_back(HeightOfScreen(screen));
    return layout;
}

// Reads every queued event; true when one of them was a configuration change.
bool DrainEvents(DisplayWatch *w) {
    bool changed = false;
    while (XPending(w->display) > 0) {
        XEvent event;
        XNextEvent(w->display, &event);
        XRRUpdateConfiguration(&event); // keeps Xlib's idea of the screen size current
        int type = event.type - w->eventBase;
        if (type == RRScreenChangeNotify || type == RRNotify) changed = true;
    }
    return changed;
}

void WatchThread(void *arg) {
    DisplayWatch *w = static_cast<DisplayWatch *>(arg);
    using Clock = std::chrono::steady_clock;
    pollfd fds[2] = {{ConnectionNumber(w->display), POLLIN, 0}, {EventFd(w->stop), POLLIN, 0}};
    bool pending = false; // a change was seen and is waiting to settle
    Clock::time_point pendingAt{};
    Clock::time_point nextCompare = Clock::now() + std::chrono::milliseconds(kCompareMs);
    for (;;) {
        Clock::time_point wake = pending ? pendingAt : nextCompare;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now());
        int ready = poll(fds, 2, left.count() > 0 ? (int)left.count() : 0);
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && fds[1].revents) break;
        if (ready > 0 && (fds[0].revents & (POLLHUP | POLLERR))) {
            DebugLog(2, "Display watch: the X server connection closed\n");
            break;
        }
        if (DrainEvents(w) && !pending) {
            pending = true;
            pendingAt = Clock::now() + std::chrono::milliseconds(kSettleMs);
        }
        Clock::time_point now = Clock::now();
        if (pending && now >= pendingAt) {
            pending = false;
            nextCompare = now + std::chrono::milliseconds(kCompareMs);
            w->layout = ReadLayout(w->display);
            w->onChange(w->context);
        } else if (!pending && now >= nextCompare) {
            nextCompare = now + std::chrono::milliseconds(kCompareMs);
            std::vector<long> layout = ReadLayout(w->display);
            if (layout != w->layout) {
                w->layout = std::move(layout);
                w->onChange(w->context);
            }
        }
    }
}

} // namespace

DisplayWatch *DisplayWatchStart(void (*onChange)(void *context), void *context) {
    Display *display = OvX11Open();
    if (!display) return nullptr;
    int eventBase = 0, errorBase = 0;
    if (!XRRQueryExtension(display, &eventBase, &errorBase)) {
        DebugLog(2, "Display watch: the X server has no RandR; display changes are not followed\n");
        OvX11Close(display);
        return nullptr;
    }
    Event *stop = EventCreate(true, false);
    if (!stop) {
        OvX11Close(display);
        return nullptr;
    }
    auto *w = new DisplayWatch{onChange, context, display, stop, eventBase, {}, {}};
    XRRSelectInput(display, DefaultRootWindow(display),
                   RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    w->layout = ReadLayout(display);
    XFlush(display);
    if (!ThreadStart(&w->thread, "display watch", WatchThread, w)) {
        DebugLog(2, "Display watch: no thread; display changes are not followed\n");
        OvX11Close(display);
        EventClose(stop);
        delete w;
        return nullptr;
    }
    return w;
}

void DisplayWatchStop(DisplayWatch *watch) {
    if (!watch) return;
    EventSet(watch->stop);
    ThreadJoin(&watch->thread);
    OvX11Close(watch->display);
    EventClose(watch->stop);
    delete watch;
}
