// The window method: the mirrored window's own contents, read from its composite
// pixmap (XComposite) so that overlapping windows do not show through; without
// XComposite, read from the window itself. In display mode it reads the root window.
#include "capture/ov_x11.h"
#include "capture/ov_x11_capture.h"

#include "base/log.h"

#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>

#include <cstdlib>
#include <cstring>

namespace {

struct OvWindowCapture {
    CaptureSession *session; // borrowed; the capture thread's connection
    WindowHandle redirected; // window we asked the server to keep off-screen contents for
    Visual *visual;          // the mirrored window's visual (channel masks of its pixmap)
    int32_t width;           // capture size of the last prepare
    int32_t height;
    int32_t savedLength;   // bytes in savedFrame (0 = none)
    int32_t savedCapacity; // width x height x 4 of the current capture size
    uint8_t *savedFrame;   // last window frame
};

void Unredirect(OvWindowCapture *c) {
    if (!c->redirected) return;
    Display *display = c->session->display;
    OvX11TrapBegin();
    XCompositeUnredirectWindow(display, (Window)c->redirected, CompositeRedirectAutomatic);
    OvX11TrapEnd(display); // the window may be gone already
    c->redirected = 0;
}

void *Create(CaptureSession *session) {
    if (!session) return nullptr;
    OvWindowCapture *c = new OvWindowCapture();
    c->session = session;
    return c;
}

void Destroy(void *object) {
    OvWindowCapture *c = static_cast<OvWindowCapture *>(object);
    if (!c) return;
    Unredirect(c);
    free(c->savedFrame);
    delete c;
}

int Prepare(void *object, WindowHandle window, int32_t width, int32_t height) {
    OvWindowCapture *c = static_cast<OvWindowCapture *>(object);
    if (!c) return 0;
    if (c->redirected != window) {
        Unredirect(c);
        if (window && c->session->hasComposite) {
            Display *display = c->session->display;
            OvX11TrapBegin();
            XCompositeRedirectWindow(display, (Window)window, CompositeRedirectAutomatic);
            if (OvX11TrapEnd(display) == 0) c->redirected = window;
        }
    }
    c->visual = DefaultVisual(c->session->display, DefaultScreen(c->session->display));
    if (window) {
        XWindowAttributes attributes;
        OvX11TrapBegin();
        Status got = XGetWindowAttributes(c->session->display, (Window)window, &attributes);
        if (OvX11TrapEnd(c->session->display) == 0 && got) c->visual = attributes.visual;
    }
    c->width = width;
    c->height = height;
    return 1;
}

void DrawCursor(OvWindowCapture *c, const CaptureFrameRequest *request, uint8_t *slot) {
    CursorImage cursor;
    if (OvFetchCursor(c->session, &cursor))
        DrawCursorOverlay(request->rect, request->cursorX, request->cursorY, cursor, slot);
}

int Capture(void *object, const CaptureFrameRequest *request, uint8_t *slot) {
    OvWindowCapture *c = static_cast<OvWindowCapture *>(object);
    const CaptureRect &rect = request->rect;
    if (!c || !slot || rect.width <= 0 || rect.height <= 0) return 0;
    Display *display = c->session->display;
    WindowHandle window = request->windowMode ? request->window : 0;
    int64_t frameBytes = (int64_t)rect.width * rect.height * 4;
    bool composited = window && c->redirected == window;
    if (window) {
        // Without off-screen contents, what overlaps the window shows through.
        if (!composited && IsWindowCovered(c->session, window)) {
            if (c->savedLength != 0 && c->savedLength == frameBytes)
                memcpy(slot, c->savedFrame, (size_t)frameBytes);
            return 1;
        }
        if (c->savedCapacity != frameBytes) {
            free(c->savedFrame);
            c->savedFrame = (uint8_t *)malloc((size_t)frameBytes + 1);
            c->savedCapacity = c->savedFrame ? (int32_t)frameBytes : 0;
            c->savedLength = 0;
        }
    }

    OvX11TrapBegin();
    Drawable source = c->session->root;
    Pixmap pixmap = 0;
    if (composited) {
        // A new pixmap backs the window after every resize: name it per frame.
        pixmap = XCompositeNameWindowPixmap(display, (Window)window);
        source = pixmap;
    } else if (window) {
        source = (Window)window;
    }
    XImage *image = XGetImage(display, source, rect.left, rect.top, rect.width, rect.height,
                              AllPlanes, ZPixmap);
    if (pixmap) XFreePixmap(display, pixmap);
    int error = OvX11TrapEnd(display);
    if (!image || error) {
        if (image) XDestroyImage(image);
        DebugLog(1, "Window capture failed: X error %i\n", error);
        return 0;
    }
    OvCopyImageToSlot(image, window ? c->visual : DefaultVisual(display, DefaultScreen(display)),
                      rect.width, rect.height, slot);
    XDestroyImage(image);
    if (request->drawCursor) DrawCursor(c, request, slot);
    if (window && c->savedCapacity == frameBytes) {
        memcpy(c->savedFrame, slot, (size_t)frameBytes);
        c->savedLength = c->savedCapacity;
    } else {
        c->savedLength = 0;
    }
    return 1;
}

} // namespace

const CaptureMethodOps kWindowCaptureOps = {
    .method = CaptureMethodWindow,
    .bottomUp = 0,
    .create = Create,
    .destroy = Destroy,
    .prepare = Prepare,
    .capture = Capture,
    .geometry = OvWindowGeometry,
};
