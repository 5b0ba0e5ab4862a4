// The front-buffer method: what is on the screen, read from the root window through a
// shared-memory image (MIT-SHM). Covered windows are served from the last clean frame.
#include "capture/ov_x11.h"
#include "capture/ov_x11_capture.h"

#include "base/log.h"

#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// A caller's shared-memory slot attached to the server, so that the server writes the
// frame straight into it instead of into our own segment, saving a copy of every frame.
struct SlotSegment {
    int32_t shmId;
    uint8_t *address;
    XShmSegmentInfo shm;
    XImage *image; // header over the slot at the last rect's size; null when not made
    uint64_t lastUse;
};

struct OvFrontBufferCapture {
    int32_t deviceReady;  // 1 once the shared segment is attached for the current screen
    WindowHandle window;  // window of the last set-up
    CaptureRect rect;     // rect of the last set-up
    int32_t adapterIndex; // display of the last set-up (-1 when none was found)
    int32_t modeWidth;    // root size; the segment holds modeWidth x modeHeight pixels
    int32_t modeHeight;
    CaptureSession *session; // borrowed; the capture thread's connection
    XShmSegmentInfo shm;
    int32_t attached;
    XImage *image;         // header over the segment sized to the current rect
    int32_t savedLength;   // bytes in savedFrame (0 = none)
    int32_t savedCapacity; // modeWidth x modeHeight x 4 once allocated; 0 after a set-up
    uint8_t *savedFrame;   // last cursor-free window frame
    // The pipeline's two capture slots; attachments are dropped at every set-up of the
    // pipeline (Prepare), which is when its slots may go.
    SlotSegment slotSegments[2];
    uint64_t slotUses;
    int32_t slotsRefused; // the server would not attach a slot or lays pixels out otherwise
};

void DropSlotSegment(OvFrontBufferCapture *c, SlotSegment *s) {
    if (s->image) {
        s->image->data = nullptr;
        XDestroyImage(s->image);
    }
    if (s->address) {
        OvX11TrapBegin();
        XShmDetach(c->session->display, &s->shm);
        OvX11TrapEnd(c->session->display);
    }
    *s = SlotSegment{};
}

void DropSlotSegments(OvFrontBufferCapture *c) {
    for (SlotSegment &s : c->slotSegments)
        DropSlotSegment(c, &s);
}

// The server's view of the request's slot, attached on first use; null when the slot
// cannot be used that way (the caller then copies from the own segment).
XImage *SlotImage(OvFrontBufferCapture *c, const CaptureFrameRequest *request, uint8_t *slot) {
    if (!request->slotShared || c->slotsRefused) return nullptr;
    Display *display = c->session->display;
    int screen = DefaultScreen(display);
    SlotSegment *found = nullptr;
    for (SlotSegment &s : c->slotSegments) {
        if (s.address == slot && s.shmId == request->slotShmId) found = &s;
    }
    if (!found) {
        found = &c->slotSegments[0];
        if (c->slotSegments[1].lastUse < found->lastUse) found = &c->slotSegments[1];
        DropSlotSegment(c, found);
        found->shm.shmid = request->slotShmId;
        found->shm.shmaddr = reinterpret_cast<char *>(slot);
        found->shm.readOnly = False;
        OvX11TrapBegin();
        Status ok = XShmAttach(display, &found->shm);
        int error = OvX11TrapEnd(display);
        if (!ok || error) {
            DebugLog(2, "Front buffer: cannot share the capture slot (%i); copying frames\n", error);
            found->shm = XShmSegmentInfo{};
            c->slotsRefused = 1;
            return nullptr;
        }
        found->shmId = request->slotShmId;
        found->address = slot;
    }
    found->lastUse = ++c->slotUses;
    int32_t width = request->rect.width, height = request->rect.height;
    if (found->image && (found->image->width != width || found->image->height != height)) {
        found->image->data = nullptr;
        XDestroyImage(found->image);
        found->image = nullptr;
    }
    if (!found->image) {
        found->image = XShmCreateImage(display, DefaultVisual(display, screen),
                                       DefaultDepth(display, screen), ZPixmap,
                                       reinterpret_cast<char *>(slot), &found->shm, width, height);
        // The slot holds rows of width * 4 bytes in B, G, R, X order and nothing else.
        if (!found->image || found->image->bytes_per_line != width * 4 ||
            !OvImageIsPackedBgrx(found->image, DefaultVisual(display, screen))) {
            DebugLog(2, "Front buffer: the server's pixels need converting; copying frames\n");
            DropSlotSegments(c);
            c->slotsRefused = 1;
            return nullptr;
        }
    }
    return found->image;
}

void DropImage(OvFrontBufferCapture *c) {
    if (!c->image) return;
    c->image->data = nullptr; // the segment is not the image's to free
    XDestroyImage(c->image);
    c->image = nullptr;
}

void ReleaseSegment(OvFrontBufferCapture *c) {
    DropImage(c);
    Display *display = c->session->display;
    if (c->attached) {
        OvX11TrapBegin();
        XShmDetach(display, &c->shm);
        OvX11TrapEnd(display);
        c->attached = 0;
    }
    if (c->shm.shmaddr && c->shm.shmaddr != (char *)-1) shmdt(c->shm.shmaddr);
    c->shm = XShmSegmentInfo{};
    c->deviceReady = 0;
}

int SetUp(OvFrontBufferCapture *c, const CaptureFrameRequest *request) {
    Display *display = c->session->display;
    int adapter = request->windowMode && request->window
                      ? OvDisplayIndexOfWindow(display, ProcessDisplayList(), request->window)
                      : request->displayIndex;
    if (c->deviceReady && adapter == c->adapterIndex) return 1;
    c->adapterIndex = adapter;
    c->window = request->window;
    c->rect = request->rect;
    c->savedCapacity = 0;
    c->savedLength = 0;
    ReleaseSegment(c);
    if (adapter < 0) return 0;

    Screen *screen = DefaultScreenOfDisplay(display);
    c->modeWidth = WidthOfScreen(screen);
    c->modeHeight = HeightOfScreen(screen);
    size_t bytes = (size_t)c->modeWidth * c->modeHeight * 4;
    c->shm.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (c->shm.shmid < 0) {
        DebugLog(2, "Failed to Create off screen plain surface %i\n", errno);
        return 0;
    }
    c->shm.shmaddr = (char *)shmat(c->shm.shmid, nullptr, 0);
    // Marked for removal now: the segment goes away with its last attachment.
    shmctl(c->shm.shmid, IPC_RMID, nullptr);
    if (c->shm.shmaddr == (char *)-1) {
        DebugLog(2, "Failed to Create off screen plain surface %i\n", errno);
        c->shm.shmaddr = nullptr;
        return 0;
    }
    c->shm.readOnly = False;
    OvX11TrapBegin();
    Status ok = XShmAttach(display, &c->shm);
    int error = OvX11TrapEnd(display);
    if (!ok || error) {
        DebugLog(2, "Failed to get Front Buffer Data %i\n", error);
        ReleaseSegment(c);
        return 0;
    }
    c->attached = 1;
    DebugLog(2, "Front buffer: shared image %ix%i, Monitor Index: %i\n", c->modeWidth,
             c->modeHeight, adapter);
    c->deviceReady = 1;
    return 1;
}

// The image header must match the rect's size; the segment stays.
bool FitImage(OvFrontBufferCapture *c, int32_t width, int32_t height) {
    if (c->image && c->image->width == width && c->image->height == height) return true;
    DropImage(c);
    Display *display = c->session->display;
    int screen = DefaultScreen(display);
    c->image =
        XShmCreateImage(display, DefaultVisual(display, screen), DefaultDepth(display, screen),
                        ZPixmap, c->shm.shmaddr, &c->shm, width, height);
    if (!c->image) return false;
    if ((size_t)c->image->bytes_per_line * height > (size_t)c->modeWidth * c->modeHeight * 4) {
        DropImage(c);
        return false;
    }
    return true;
}

void DrawCursor(OvFrontBufferCapture *c, const CaptureFrameRequest *request, uint8_t *slot) {
    CursorImage cursor;
    if (OvFetchCursor(c->session, &cursor))
        DrawCursorOverlay(request->rect, request->cursorX, request->cursorY, cursor, slot);
}

void *Create(CaptureSession *session) {
    if (!session) return nullptr;
    OvFrontBufferCapture *c = new OvFrontBufferCapture();
    c->session = session;
    c->adapterIndex = -1;
    return c;
}

void Destroy(void *object) {
    OvFrontBufferCapture *c = static_cast<OvFrontBufferCapture *>(object);
    if (!c) return;
    DropSlotSegments(c);
    ReleaseSegment(c);
    free(c->savedFrame);
    delete c;
}

int Prepare(void *object, WindowHandle, int32_t, int32_t) {
    // The pipeline is being made anew: its old slots go, the server must let go of them.
    DropSlotSegments(static_cast<OvFrontBufferCapture *>(object));
    return 1;
}

int Capture(void *object, const CaptureFrameRequest *request, uint8_t *slot) {
    OvFrontBufferCapture *c = static_cast<OvFrontBufferCapture *>(object);
    const CaptureRect &rect = request->rect;
    if (!c || !slot || rect.width <= 0 || rect.height <= 0) return 0;
    if (!SetUp(c, request)) return 0;
    int64_t frameBytes = (int64_t)rect.width * rect.height * 4;
    if (request->windowMode && request->window) {
        if (IsWindowCovered(c->session, request->window)) {
            // The screen shows something else over the window: repeat its last clean frame.
            if (c->savedLength != 0 && c->savedLength == frameBytes) {
                memcpy(slot, c->savedFrame, (size_t)frameBytes);
                if (request->drawCursor) DrawCursor(c, request, slot);
            }
            return 1;
        }
        if (c->savedCapacity == 0) {
            c->savedCapacity = c->modeWidth * c->modeHeight * 4;
            free(c->savedFrame);
            c->savedFrame = (uint8_t *)malloc((size_t)c->savedCapacity + 1);
            if (!c->savedFrame) c->savedCapacity = 0;
        }
    }
    if (rect.left < 0 || rect.top < 0 || rect.left + rect.width > c->modeWidth ||
        rect.top + rect.height > c->modeHeight) {
        DebugLog(2, "Failed to Lock Rect: %i\n", 0);
        c->deviceReady = 0;
        return 0;
    }
    XImage *direct = SlotImage(c, request, slot);
    if (!direct && !FitImage(c, rect.width, rect.height)) {
        DebugLog(2, "Failed to Lock Rect: %i\n", 0);
        c->deviceReady = 0;
        return 0;
    }
    Display *display = c->session->display;
    XImage *target = direct ? direct : c->image;
    int32_t first = 0, end = rect.height;
    // Rows straight into their place in the slot: the request's offset into the segment
    // is where the image's data begins.
    bool rowsOnly = direct && request->rowsOnly && !(request->windowMode && request->window);
    if (rowsOnly) {
        first = request->rowsFirst < 0 ? 0 : request->rowsFirst;
        end = request->rowsEnd > rect.height ? rect.height : request->rowsEnd;
    }
    Status ok = True;
    int error = 0;
    if (end > first) {
        char *data = target->data;
        int height = target->height;
        target->data = data + (size_t)first * target->bytes_per_line;
        target->height = end - first;
        OvX11TrapBegin();
        ok = XShmGetImage(display, c->session->root, target, rect.left, rect.top + first,
                          AllPlanes);
        error = OvX11TrapEndAfterReply();
        target->data = data;
        target->height = height;
    }
    if (!ok || error) {
        DebugLog(2, "Failed to get Front Buffer Data %i\n", error);
        c->deviceReady = 0;
        return 0;
    }
    if (!direct)
        OvCopyImageToSlot(c->image, DefaultVisual(display, DefaultScreen(display)), rect.width,
                          rect.height, slot);
    if (request->windowMode && request->window && c->savedCapacity >= frameBytes) {
        memcpy(c->savedFrame, slot, (size_t)frameBytes);
        c->savedLength = (int32_t)frameBytes;
    } else {
        c->savedLength = 0;
    }
    if (request->drawCursor) DrawCursor(c, request, slot);
    return 1;
}

} // namespace

const CaptureMethodOps kFrontBufferCaptureOps = {
    .method = CaptureMethodFrontBuffer,
    .bottomUp = 0,
    .create = Create,
    .destroy = Destroy,
    .prepare = Prepare,
    .capture = Capture,
    .geometry = OvFrontBufferGeometry,
};
