#include "capture/ov_x11.h"

#include "base/log.h"
#include "capture/x11_session.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

std::mutex gConfigLock;
std::string gDisplayName;
XErrorHandler gPreviousHandler;
bool gHandlerInstalled;

// Connections opened here; errors on any other connection go to the previous handler.
std::vector<Display *> gOwnDisplays;

std::mutex gSharedLock;
Display *gShared;

struct Trap {
    int depth;
    int firstError;
};
thread_local Trap tTrap;

bool IsOwnDisplay(Display *display) {
    std::lock_guard<std::mutex> lock(gConfigLock);
    return std::find(gOwnDisplays.begin(), gOwnDisplays.end(), display) != gOwnDisplays.end();
}

int HandleXError(Display *display, XErrorEvent *event) {
    if (!IsOwnDisplay(display) && gPreviousHandler) return gPreviousHandler(display, event);
    if (tTrap.depth > 0) {
        if (tTrap.firstError == 0) tTrap.firstError = event->error_code;
        return 0;
    }
    // An error outside a trap: a window vanished between two requests. Record and go on.
    DebugLog(1, "X error %i (request %i.%i) on resource 0x%lx\n", event->error_code,
             event->request_code, event->minor_code, event->resourceid);
    return 0;
}

} // namespace

void OvX11SetDisplayName(const char *name) {
    {
        std::lock_guard<std::mutex> lock(gConfigLock);
        gDisplayName = name ? name : "";
    }
    OvX11CloseShared();
}

void OvX11CloseShared() {
    std::lock_guard<std::mutex> lock(gSharedLock);
    if (gShared) OvX11Close(gShared);
    gShared = nullptr;
}

Display *OvX11Open() {
    std::string name;
    {
        std::lock_guard<std::mutex> lock(gConfigLock);
        if (!gHandlerInstalled) {
            XInitThreads();
            gPreviousHandler = XSetErrorHandler(HandleXError);
            gHandlerInstalled = true;
        }
        name = gDisplayName;
    }
    Display *display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (!display) {
        const char *shown = name.empty() ? getenv("DISPLAY") : name.c_str();
        DebugLog(2, "Cannot open X display %s\n", shown ? shown : "(unset)");
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(gConfigLock);
    gOwnDisplays.push_back(display);
    return display;
}

void OvX11Close(Display *display) {
    if (!display) return;
    {
        std::lock_guard<std::mutex> lock(gConfigLock);
        gOwnDisplays.erase(std::remove(gOwnDisplays.begin(), gOwnDisplays.end(), display),
                           gOwnDisplays.end());
    }
    XCloseDisplay(display);
}

Display *OvX11Shared() {
    // Callers hold OvX11SharedLock.
    if (!gShared) gShared = OvX11Open();
    return gShared;
}

std::mutex &OvX11SharedLock() {
    return gSharedLock;
}

void OvX11TrapBegin() {
    if (tTrap.depth++ == 0) tTrap.firstError = 0;
}

int OvX11TrapEnd(Display *display) {
    if (display) XSync(display, False);
    return OvX11TrapEndAfterReply();
}

int OvX11TrapEndAfterReply() {
    int error = tTrap.firstError;
    if (tTrap.depth > 0 && --tTrap.depth == 0) tTrap.firstError = 0;
    return error;
}

Atom OvX11Atom(Display *display, const char *name) {
    return XInternAtom(display, name, False);
}

namespace {

// Reads a 32-bit-format property of the given type. Xlib returns such items as longs.
bool GetLongs(Display *display, Window window, Atom property, Atom type,
              std::vector<unsigned long> *values) {
    values->clear();
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0, after = 0;
    unsigned char *data = nullptr;
    OvX11TrapBegin();
    int status = XGetWindowProperty(display, window, property, 0, 1 << 16, False, type, &actualType,
                                    &actualFormat, &count, &after, &data);
    int error = OvX11TrapEndAfterReply();
    if (status != Success || error || actualType != type || actualFormat != 32) {
        if (data) XFree(data);
        return false;
    }
    const unsigned long *items = reinterpret_cast<const unsigned long *>(data);
    values->assign(items, items + count);
    XFree(data);
    return true;
}

bool GetText(Display *display, Window window, Atom property, std::string *text) {
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0, after = 0;
    unsigned char *data = nullptr;
    OvX11TrapBegin();
    int status = XGetWindowProperty(display, window, property, 0, 1 << 14, False, AnyPropertyType,
                                    &actualType, &actualFormat, &count, &after, &data);
    int error = OvX11TrapEnd(display);
    bool ok = status == Success && !error && actualType != None && actualFormat == 8 && data;
    if (ok) text->assign(reinterpret_cast<const char *>(data), count);
    if (data) XFree(data);
    return ok;
}

} // namespace

bool OvX11GetCardinals(Display *display, Window window, Atom property,
                       std::vector<unsigned long> *values) {
    return GetLongs(display, window, property, XA_CARDINAL, values);
}

bool OvX11GetWindows(Display *display, Window window, Atom property, std::vector<Window> *values) {
    std::vector<unsigned long> longs;
    if (!GetLongs(display, window, property, XA_WINDOW, &longs)) return false;
    values->assign(longs.begin(), longs.end());
    return true;
}

bool OvX11GetAtoms(Display *display, Window window, Atom property, std::vector<Atom> *values) {
    std::vector<unsigned long> longs;
    if (!GetLongs(display, window, property, XA_ATOM, &longs)) return false;
    values->assign(longs.begin(), longs.end());
    return true;
}

std::string OvX11WindowTitle(Display *display, Window window) {
    std::string title;
    if (GetText(display, window, OvX11Atom(display, "_NET_WM_NAME"), &title)) return title;
    if (GetText(display, window, XA_WM_NAME, &title)) return title;
    return std::string();
}

std::string OvX11WindowClass(Display *display, Window window) {
    std::string raw;
    if (!GetText(display, window, XA_WM_CLASS, &raw)) return std::string();
    // Two NUL-terminated strings: instance, then class.
    size_t split = raw.find('\0');
    std::string instance = raw.substr(0, split);
    std::string klass;
    if (split != std::string::npos) {
        klass = raw.substr(split + 1);
        size_t end = klass.find('\0');
        if (end != std::string::npos) klass.resize(end);
    }
    return klass.empty() ? instance : klass;
}

bool OvX11WindowRootRect(Display *display, Window window, int *x, int *y, int *width, int *height,
                         int *viewable) {
    XWindowAttributes attributes;
    Window child = 0;
    int rootX = 0, rootY = 0;
    OvX11TrapBegin();
    Status got = XGetWindowAttributes(display, window, &attributes);
    Bool translated =
        got ? XTranslateCoordinates(display, window, attributes.root, 0, 0, &rootX, &rootY, &child)
            : False;
    int error = OvX11TrapEndAfterReply();
    if (!got || !translated || error) return false;
    *x = rootX;
    *y = rootY;
    *width = attributes.width;
    *height = attributes.height;
    if (viewable) *viewable = attributes.map_state == IsViewable;
    return true;
}

bool OvX11WindowMinimised(Display *display, Window window) {
    std::vector<Atom> states;
    if (OvX11GetAtoms(display, window, OvX11Atom(display, "_NET_WM_STATE"), &states)) {
        Atom hidden = OvX11Atom(display, "_NET_WM_STATE_HIDDEN");
        if (std::find(states.begin(), states.end(), hidden) != states.end()) return true;
    }
    Atom wmState = OvX11Atom(display, "WM_STATE");
    std::vector<unsigned long> values;
    if (GetLongs(display, window, wmState, wmState, &values) && !values.empty())
        return values[0] == IconicState;
    return false;
}

bool OvX11PointerPosition(Display *display, int *x, int *y) {
    Window root = 0, child = 0;
    int winX = 0, winY = 0;
    unsigned int mask = 0;
    OvX11TrapBegin();
    Bool ok = XQueryPointer(display, DefaultRootWindow(display), &root, &child, x, y, &winX, &winY,
                            &mask);
    int error = OvX11TrapEndAfterReply();
    return ok && !error;
}
