// Top-level windows from the window manager's client list (EWMH).
#include "capture/capture_backend.h"
#include "capture/ov_portal_capture.h"
#include "capture/ov_x11.h"
#include "capture/windows.h"

#include "plist/cfvalue.h"

#include <X11/Xatom.h>
#include <X11/extensions/XRes.h>

#include <algorithm>

namespace {

// _NET_WM_PID, else the X-Resource extension's view of the client behind the window.
uint32_t WindowProcessId(Display *display, Window window) {
    std::vector<unsigned long> pid;
    if (OvX11GetCardinals(display, window, OvX11Atom(display, "_NET_WM_PID"), &pid) &&
        !pid.empty() && pid[0] != 0)
        return (uint32_t)pid[0];
    int eventBase = 0, errorBase = 0;
    if (!XResQueryExtension(display, &eventBase, &errorBase)) return 0;
    XResClientIdSpec spec;
    spec.client = window;
    spec.mask = XRES_CLIENT_ID_PID_MASK;
    long count = 0;
    XResClientIdValue *values = nullptr;
    OvX11TrapBegin();
    Status status = XResQueryClientIds(display, 1, &spec, &count, &values);
    int error = OvX11TrapEnd(display);
    uint32_t result = 0;
    if (status == Success && !error) {
        for (long i = 0; i < count; i++) {
            pid_t p = XResGetClientPid(&values[i]);
            if (p > 0) result = (uint32_t)p;
        }
    }
    if (values) XResClientIdsDestroy(count, values);
    return result;
}

// Windows that are part of the desktop itself rather than an application.
bool IsDesktopFurniture(Display *display, Window window) {
    std::vector<Atom> types;
    if (!OvX11GetAtoms(display, window, OvX11Atom(display, "_NET_WM_WINDOW_TYPE"), &types))
        return false;
    const Atom furniture[] = {
        OvX11Atom(display, "_NET_WM_WINDOW_TYPE_DESKTOP"),
        OvX11Atom(display, "_NET_WM_WINDOW_TYPE_DOCK"),
        OvX11Atom(display, "_NET_WM_WINDOW_TYPE_TOOLBAR"),
        OvX11Atom(display, "_NET_WM_WINDOW_TYPE_SPLASH"),
        OvX11Atom(display, "_NET_WM_WINDOW_TYPE_NOTIFICATION"),
    };
    for (Atom t : types)
        if (std::find(std::begin(furniture), std::end(furniture), t) != std::end(furniture))
            return true;
    return false;
}

} // namespace

CFValue *BuildWindowList() {
    std::vector<WindowCandidate> candidates;
    if (ChooseCaptureBackend() == CaptureBackendPortal) {
        // A Wayland session lists no other program's windows; where the portal shares
        // windows, one entry lets the desktop's own dialog pick one.
        if (!(PortalAvailableSourceTypes() & kPortalSourceWindow)) return nullptr;
        CFValue *list = CFArrayNew(1);
        CFValue *record = WindowRecordNew(kPortalWindowChoice, "Choose a window...", 0,
                                          "Window chosen on the desktop");
        CFArrayPush(list, record);
        CFValueRelease(record);
        return list;
    }
    {
        std::lock_guard<std::mutex> lock(OvX11SharedLock());
        Display *display = OvX11Shared();
        if (!display) return nullptr;
        std::vector<Window> clients;
        if (!OvX11GetWindows(display, DefaultRootWindow(display),
                             OvX11Atom(display, "_NET_CLIENT_LIST"), &clients))
            return nullptr;
        for (Window window : clients) {
            int x, y, width, height, viewable = 0;
            if (!OvX11WindowRootRect(display, window, &x, &y, &width, &height, &viewable))
                continue; // gone meanwhile
            if (OvX11WindowMinimised(display, window) || IsDesktopFurniture(display, window))
                continue;
            WindowCandidate candidate;
            candidate.window = window;
            candidate.title = OvX11WindowTitle(display, window);
            TruncateWindowTitle(&candidate.title);
            if (IsExcludedWindowTitle(candidate.title)) continue;
            candidate.processId = WindowProcessId(display, window);
            candidate.windowClass = OvX11WindowClass(display, window);
            candidates.push_back(candidate);
        }
    }
    return WindowListFromCandidates(ProcessWindowTracker(), candidates);
}
