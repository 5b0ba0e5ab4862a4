// Change tracking on X11: the DAMAGE extension reports drawing, XFixes a new cursor image.
#include "capture/ov_x11.h"
#include "capture/ov_x11_capture.h"

#include "base/log.h"

#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>

#include <poll.h>

namespace {

// One event when the damage goes from empty to not empty: a still period costs nothing,
// a busy one a single event per capture, whatever the number of drawing requests.
unsigned long CreateDamage(Display *display, Window window) {
    OvX11TrapBegin();
    Damage damage = XDamageCreate(display, window, XDamageReportNonEmpty);
    int error = OvX11TrapEnd(display);
    return error ? 0 : damage;
}

void DestroyDamage(Display *display, unsigned long damage) {
    if (!damage) return;
    // The server frees it with its window; a window already gone answers BadDamage.
    OvX11TrapBegin();
    XDamageDestroy(display, damage);
    OvX11TrapEnd(display);
}

} // namespace

void OvWatchDamage(CaptureSession *session) {
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XDamageQueryExtension(session->display, &eventBase, &errorBase) ||
        !XDamageQueryVersion(session->display, &major, &minor)) {
        DebugLog(2, "X server has no DAMAGE extension: every frame is captured\n");
        return;
    }
    session->rootDamage = CreateDamage(session->display, session->root);
    if (!session->rootDamage) {
        DebugLog(2, "Cannot follow the screen's damage: every frame is captured\n");
        return;
    }
    session->damageNotifyType = eventBase + XDamageNotify;
    session->hasDamage = 1;
    // Regions (XFixes 2) let a capture learn where the screen was drawn on, so that only
    // that part is read and converted.
    int fixesMajor = 0, fixesMinor = 0;
    if (session->hasXFixes && XFixesQueryVersion(session->display, &fixesMajor, &fixesMinor) &&
        fixesMajor >= 2) {
        session->damageParts = XFixesCreateRegion(session->display, nullptr, 0);
    }
}

bool CaptureSessionCursorBox(CaptureSession *session, int32_t x, int32_t y, DisplayRect *box) {
    CursorImage cursor;
    if (!session || !OvFetchCursor(session, &cursor)) return false;
    box->left = x - cursor.hotX;
    box->top = y - cursor.hotY;
    box->right = box->left + cursor.width;
    box->bottom = box->top + cursor.height;
    return true;
}

int CaptureSessionTracksChanges(CaptureSession *session) {
    return session && session->hasDamage && session->hasXFixes;
}

void CaptureSessionFollowWindow(CaptureSession *session, WindowHandle window) {
    if (!session || !session->hasDamage || session->followedWindow == window) return;
    DestroyDamage(session->display, session->windowDamage);
    session->windowDamage = window ? CreateDamage(session->display, (Window)window) : 0;
    session->followedWindow = window;
}

int CaptureSessionTakeChanges(CaptureSession *session, DisplayRect *drawn) {
    if (drawn) *drawn = kWholeScreen;
    if (!CaptureSessionTracksChanges(session)) return 1;
    Display *display = session->display;
    int changed = 0;
    bool whole = false;
    // Reads what the server has sent without blocking, then empties Xlib's queue.
    XEventsQueued(display, QueuedAfterReading);
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == session->damageNotifyType) {
            changed = 1;
            if (reinterpret_cast<XDamageNotifyEvent *>(&event)->damage != session->rootDamage)
                whole = true;
        } else if (event.type == session->cursorNotifyType) {
            session->cursorCached = 0; // OvFetchCursor reads the new image
            changed = 1;
            whole = true;
        }
    }
    if (!changed) {
        if (drawn) *drawn = DisplayRect{0, 0, 0, 0};
        return 0;
    }
    // Cleared before the capture: drawing from here on raises a new event, and the
    // capture's own request comes after this one on the connection.
    if (session->rootDamage && drawn && !whole && session->damageParts) {
        XDamageSubtract(display, session->rootDamage, 0, session->damageParts);
        int count = 0;
        XRectangle bounds{};
        OvX11TrapBegin();
        XRectangle *parts =
            XFixesFetchRegionAndBounds(display, session->damageParts, &count, &bounds);
        int error = OvX11TrapEndAfterReply();
        if (parts) XFree(parts);
        if (!error) {
            *drawn = count > 0 ? DisplayRect{bounds.x, bounds.y, bounds.x + bounds.width,
                                             bounds.y + bounds.height}
                               : DisplayRect{0, 0, 0, 0};
        }
    } else if (session->rootDamage) {
        XDamageSubtract(display, session->rootDamage, 0, 0);
    }
    if (session->windowDamage) {
        OvX11TrapBegin();
        XDamageSubtract(display, session->windowDamage, 0, 0);
        // A window that is gone: its damage went with it. Known at the next sync.
        if (OvX11TrapEnd(display)) session->windowDamage = 0;
    }
    XFlush(display);
    return 1;
}

int CaptureSessionWaitForEvents(CaptureSession *session, int32_t timeoutMs) {
    if (!session) return 0;
    Display *display = session->display;
    if (XEventsQueued(display, QueuedAfterFlush) > 0) return 1;
    pollfd fd = {ConnectionNumber(display), POLLIN, 0};
    int ready = poll(&fd, 1, timeoutMs > 0 ? timeoutMs : 0);
    return ready > 0 && XEventsQueued(display, QueuedAfterReading) > 0;
}
