// Session, method choice, geometry, occlusion and lost-window checks on X11.
#include "capture/ov_x11.h"
#include "capture/ov_x11_capture.h"

#include "base/log.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xfixes.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <cstring>

CaptureSession *CaptureSessionOpen() {
    Display *display = OvX11Open();
    if (!display) return nullptr;
    CaptureSession *session = new CaptureSession();
    session->display = display;
    session->root = DefaultRootWindow(display);
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (XCompositeQueryExtension(display, &eventBase, &errorBase)) {
        XCompositeQueryVersion(display, &major, &minor);
        session->hasComposite = major > 0 || minor >= 2;
    }
    session->hasXFixes = XFixesQueryExtension(display, &eventBase, &errorBase);
    if (session->hasXFixes) {
        // The server announces every change of the cursor image, so the image is fetched
        // only then and not with every frame.
        XFixesSelectCursorInput(display, session->root, XFixesDisplayCursorNotifyMask);
        session->cursorNotifyType = eventBase + XFixesCursorNotify;
    }
    OvWatchDamage(session);
    return session;
}

void CaptureSessionClose(CaptureSession *session) {
    if (!session) return;
    OvX11Close(session->display);
    delete session;
}

namespace {

// -1 unknown, else whether a shared segment can be attached by this server.
std::atomic<int> gSharedMemoryWorks{-1};

int ProbeSharedMemory(Display *display) {
    if (!XShmQueryExtension(display)) return 0;
    XShmSegmentInfo info{};
    info.shmid = shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
    if (info.shmid < 0) return 0;
    info.shmaddr = (char *)shmat(info.shmid, nullptr, 0);
    shmctl(info.shmid, IPC_RMID, nullptr);
    if (info.shmaddr == (char *)-1) return 0;
    info.readOnly = False;
    OvX11TrapBegin();
    Status attached = XShmAttach(display, &info);
    int error = OvX11TrapEnd(display);
    int works = attached && !error;
    if (works) {
        XShmDetach(display, &info);
        XSync(display, False);
    }
    shmdt(info.shmaddr);
    return works;
}

} // namespace

int32_t ChooseCaptureMethod(CaptureSession *session) {
    int works = gSharedMemoryWorks.load();
    if (works < 0 && session) {
        works = ProbeSharedMemory(session->display);
        gSharedMemoryWorks.store(works);
    }
    return works > 0 ? CaptureMethodFrontBuffer : CaptureMethodWindow;
}

int CaptureWindowLost(CaptureSession *session, WindowHandle window) {
    if (!session || !window) return 1;
    int x, y, width, height;
    if (!OvX11WindowRootRect(session->display, (Window)window, &x, &y, &width, &height, nullptr))
        return 1;
    return OvX11WindowMinimised(session->display, (Window)window) ? 1 : 0;
}

bool OvFetchCursor(CaptureSession *session, CursorImage *out) {
    if (!session->hasXFixes) return false;
    // Change notices arrive with the replies this connection reads anyway; looking at
    // what has been read costs no round trip.
    XEvent event;
    while (XCheckTypedEvent(session->display, session->cursorNotifyType, &event))
        session->cursorCached = 0;
    if (session->cursorCached) {
        *out = session->cursor;
        return true;
    }
    OvX11TrapBegin();
    XFixesCursorImage *image = XFixesGetCursorImage(session->display);
    int error = OvX11TrapEndAfterReply();
    if (!image || error) {
        if (image) XFree(image);
        return false;
    }
    size_t count = (size_t)image->width * image->height;
    if (session->cursorScratch.size() < count) session->cursorScratch.resize(count * 2);
    // Xlib hands the 32-bit pixels over as unsigned long.
    for (size_t i = 0; i < count; i++)
        session->cursorScratch[i] = (uint32_t)(image->pixels[i] & 0xFFFFFFFFu);
    out->width = image->width;
    out->height = image->height;
    out->hotX = image->xhot;
    out->hotY = image->yhot;
    out->argb = session->cursorScratch.data();
    out->colour = !CursorImageIsTwoTone(out->argb, (int32_t)count);
    XFree(image);
    session->cursor = *out;
    session->cursorCached = 1;
    return true;
}

int OvDisplayGeometry(CaptureSession *session, const DisplayList *list, int32_t displayIndex,
                      CaptureGeometry *out) {
    *out = CaptureGeometry{};
    if (!list || displayIndex < 0 || displayIndex >= list->count) return 0;
    DisplayRect r = list->rects[displayIndex];
    out->rect = CaptureRect{r.left, r.top, r.right - r.left, r.bottom - r.top};
    int x = 0, y = 0;
    if (session && OvX11PointerPosition(session->display, &x, &y) && DisplayRectContains(r, x, y)) {
        out->cursorInside = 1;
        out->cursorX = x;
        out->cursorY = y;
    }
    return 1;
}

namespace {

// The work area of the current desktop (where maximised windows go), or none.
bool WorkArea(Display *display, Window root, DisplayRect *out) {
    std::vector<unsigned long> areas, current;
    if (!OvX11GetCardinals(display, root, OvX11Atom(display, "_NET_WORKAREA"), &areas))
        return false;
    size_t desktop = 0;
    if (OvX11GetCardinals(display, root, OvX11Atom(display, "_NET_CURRENT_DESKTOP"), &current) &&
        !current.empty())
        desktop = current[0];
    if (areas.size() < (desktop + 1) * 4) desktop = 0;
    if (areas.size() < 4) return false;
    const unsigned long *a = &areas[desktop * 4];
    *out =
        DisplayRect{(int32_t)a[0], (int32_t)a[1], (int32_t)(a[0] + a[2]), (int32_t)(a[1] + a[3])};
    return out->right > out->left && out->bottom > out->top;
}

} // namespace

int OvFrontBufferGeometry(CaptureSession *session, const DisplayList *list, WindowHandle window,
                          int32_t displayIndex, CaptureGeometry *out) {
    if (!session) {
        *out = CaptureGeometry{};
        return 0;
    }
    if (!window) return OvDisplayGeometry(session, list, displayIndex, out);
    *out = CaptureGeometry{};
    Display *display = session->display;
    int x, y, width, height, viewable = 0;
    if (!OvX11WindowRootRect(display, (Window)window, &x, &y, &width, &height, &viewable) ||
        !viewable)
        return 0;
    DisplayRect windowRect{x, y, x + width, y + height};
    int index = DisplayIndexOfRect(list, windowRect);
    if (index < 0) {
        DebugLog(2, "Didn't find monitor for HWND!\n");
        return 0;
    }
    // Clip to the monitor's work area: panels and docks around it are not part of the
    // picture. The area stays in root coordinates, the front buffer's own.
    DisplayRect work = list->rects[index];
    DisplayRect desk;
    if (WorkArea(display, session->root, &desk) && DisplayRectIntersects(desk, work)) {
        work.left = std::max(work.left, desk.left);
        work.top = std::max(work.top, desk.top);
        work.right = std::min(work.right, desk.right);
        work.bottom = std::min(work.bottom, desk.bottom);
    }
    int cx = 0, cy = 0;
    if (OvX11PointerPosition(display, &cx, &cy)) {
        out->cursorInside = DisplayRectContains(windowRect, cx, cy);
        out->cursorX = cx;
        out->cursorY = cy;
    }
    int32_t left = std::max(windowRect.left, work.left);
    int32_t top = std::max(windowRect.top, work.top);
    int32_t right = std::min(windowRect.right, work.right);
    int32_t bottom = std::min(windowRect.bottom, work.bottom);
    out->rect = CaptureRect{left, top, std::max(0, right - left), std::max(0, bottom - top)};
    return out->rect.width > 0 && out->rect.height > 0;
}

int OvWindowGeometry(CaptureSession *session, const DisplayList *list, WindowHandle window,
                     int32_t displayIndex, CaptureGeometry *out) {
    if (!session) {
        *out = CaptureGeometry{};
        return 0;
    }
    if (!window) return OvDisplayGeometry(session, list, displayIndex, out);
    *out = CaptureGeometry{};
    Display *display = session->display;
    int x, y, width, height, viewable = 0;
    if (!OvX11WindowRootRect(display, (Window)window, &x, &y, &width, &height, &viewable) ||
        !viewable)
        return 0;
    // The part of the window that lies on the screen, in the window's own coordinates:
    // the drawable is read from the window's corner, not the screen's.
    Screen *screen = DefaultScreenOfDisplay(display);
    int32_t left = std::max(0, -x);
    int32_t top = std::max(0, -y);
    int32_t right = std::min(width, WidthOfScreen(screen) - x);
    int32_t bottom = std::min(height, HeightOfScreen(screen) - y);
    out->rect = CaptureRect{left, top, std::max(0, right - left), std::max(0, bottom - top)};
    int cx = 0, cy = 0;
    if (OvX11PointerPosition(display, &cx, &cy)) {
        out->cursorX = cx - x;
        out->cursorY = cy - y;
        out->cursorInside = DisplayRectContains(DisplayRect{x, y, x + width, y + height}, cx, cy);
    }
    return out->rect.width > 0 && out->rect.height > 0;
}

namespace {

// Dock, tooltip, notification, desktop or override-redirect: never counts as covering.
int32_t IsIgnorableAbove(CaptureSession *session, Window window) {
    auto cached = session->ignorableWindows.find(window);
    if (cached != session->ignorableWindows.end()) return cached->second;
    Display *display = session->display;
    const Atom ignoredTypes[] = {
        OvX11Atom(display, "_NET_WM_WINDOW_TYPE_DOCK"),
        OvX11Atom(display, "_NET_WM_WINDOW_TYPE_TOOLTIP"),
        OvX11Atom(display, "_NET_WM_WINDOW_TYPE_NOTIFICATION"),
        OvX11Atom(display, "_NET_WM_WINDOW_TYPE_DESKTOP"),
    };
    int32_t ignorable = 0;
    std::vector<Atom> types;
    if (OvX11GetAtoms(display, window, OvX11Atom(display, "_NET_WM_WINDOW_TYPE"), &types)) {
        for (Atom t : types)
            if (std::find(std::begin(ignoredTypes), std::end(ignoredTypes), t) !=
                std::end(ignoredTypes))
                ignorable = 1;
    }
    XWindowAttributes attributes;
    OvX11TrapBegin();
    Status got = XGetWindowAttributes(display, window, &attributes);
    int error = OvX11TrapEnd(display);
    if (!got || error) return ignorable; // vanished: not worth remembering
    if (attributes.override_redirect) ignorable = 1;
    // Window ids are reused only after many others; a bound keeps a long run small.
    if (session->ignorableWindows.size() >= 1024) session->ignorableWindows.clear();
    session->ignorableWindows.emplace(window, ignorable);
    return ignorable;
}

} // namespace

int IsWindowCovered(CaptureSession *session, WindowHandle window) {
    if (!session || !window) return 0;
    Display *display = session->display;
    std::vector<Window> stacking;
    if (!OvX11GetWindows(display, session->root, OvX11Atom(display, "_NET_CLIENT_LIST_STACKING"),
                         &stacking))
        return 0;
    auto self = std::find(stacking.begin(), stacking.end(), (Window)window);
    // The usual case, a mirrored window in front, costs one request.
    if (self == stacking.end() || self + 1 == stacking.end()) return 0;
    Atom extentsAtom = OvX11Atom(display, "_NET_FRAME_EXTENTS");
    // Only the window and those above it matter, and of those only the ones that are
    // shown, overlap it and are not ignorable: the rest are left out of the list, which
    // gives the same answer with fewer round trips.
    std::vector<StackEntry> entries;
    DisplayRect selfRect{};
    for (auto it = self; it != stacking.end(); ++it) {
        StackEntry entry{};
        entry.window = *it;
        int x, y, width, height, viewable = 0;
        if (!OvX11WindowRootRect(display, *it, &x, &y, &width, &height, &viewable)) {
            if (it == self) return 0; // its rectangle cannot be read
            continue;                 // vanished meanwhile: covers nothing
        }
        if (it != self && !viewable) continue;
        std::vector<unsigned long> extents;
        if (it != self && OvX11GetCardinals(display, *it, extentsAtom, &extents) &&
            extents.size() == 4) {
            x -= (int)extents[0];
            width += (int)(extents[0] + extents[1]);
            y -= (int)extents[2];
            height += (int)(extents[2] + extents[3]);
        }
        entry.rect = DisplayRect{x, y, x + width, y + height};
        if (it == self) {
            selfRect = entry.rect;
        } else if (!DisplayRectIntersects(entry.rect, selfRect) ||
                   IsIgnorableAbove(session, *it)) {
            continue;
        }
        entry.visible = viewable && !OvX11WindowMinimised(display, *it);
        entries.push_back(entry);
    }
    return WindowCoveredInStack(entries.data(), (int32_t)entries.size(), window);
}

bool OvImageIsPackedBgrx(XImage *image, Visual *visual) {
    // Images of pixmaps carry no visual and so no channel masks: use the window's.
    if (!image->red_mask && !image->green_mask && !image->blue_mask && visual) {
        image->red_mask = visual->red_mask;
        image->green_mask = visual->green_mask;
        image->blue_mask = visual->blue_mask;
    }
    return image->bits_per_pixel == 32 && image->byte_order == LSBFirst &&
           image->red_mask == 0xFF0000 && image->green_mask == 0xFF00 && image->blue_mask == 0xFF;
}

void OvCopyImageToSlot(XImage *image, Visual *visual, int32_t width, int32_t height,
                       uint8_t *slot) {
    if (OvImageIsPackedBgrx(image, visual)) {
        for (int32_t row = 0; row < height; row++)
            memcpy(slot + (size_t)row * width * 4,
                   image->data + (size_t)row * image->bytes_per_line, (size_t)width * 4);
        return;
    }
    // Uncommon visuals: scale each channel mask to 8 bits.
    auto channel = [](unsigned long pixel, unsigned long mask) -> uint8_t {
        if (!mask) return 0;
        int shift = __builtin_ctzl(mask);
        unsigned long max = mask >> shift;
        return (uint8_t)(((pixel & mask) >> shift) * 255 / max);
    };
    for (int32_t row = 0; row < height; row++) {
        uint8_t *dst = slot + (size_t)row * width * 4;
        for (int32_t col = 0; col < width; col++) {
            unsigned long pixel = XGetPixel(image, col, row);
            dst[col * 4 + 0] = channel(pixel, image->blue_mask);
            dst[col * 4 + 1] = channel(pixel, image->green_mask);
            dst[col * 4 + 2] = channel(pixel, image->red_mask);
            dst[col * 4 + 3] = 0;
        }
    }
}

const CaptureMethodOps *CaptureMethodOpsFor(int32_t method) {
    return method == CaptureMethodFrontBuffer ? &kFrontBufferCaptureOps : &kWindowCaptureOps;
}
