// The two interchangeable capture methods and the per-thread capture session they run
// in. A CaptureSession is one connection to the window system, opened by the capture
// thread for its run (or by a test or benchmark) and used by that thread only.
//
// Slots receive 32-bit pixels in B, G, R, X byte order, rect.width x rect.height pixels,
// 4 x width bytes per row, rows top first.
#pragma once

#include "capture/capture_types.h"

#include <cstdint>

struct CaptureSession;
struct DisplayList;

// Where the capture area is and where the cursor is, in one coordinate space (root
// window coordinates for the front buffer, the window's own for the window method).
struct CaptureGeometry {
    CaptureRect rect; // all 0 when the target cannot be measured
    int32_t cursorX;
    int32_t cursorY;
    int32_t cursorInside; // 1 when the cursor lies within the area (edges included)
};

struct CaptureFrameRequest {
    WindowHandle window; // the mirrored window; 0 in display mode
    CaptureRect rect;    // from the method's geometry this iteration
    int32_t windowMode;
    int32_t displayIndex;
    int32_t drawCursor;
    int32_t cursorX;
    int32_t cursorY;
    // 1 when the slot is the start of a System V shared-memory segment (slotShmId) that
    // stays as long as the slot: the server may then write the frame straight into it.
    int32_t slotShared;
    int32_t slotShmId;
    // 1: only rows rowsFirst .. rowsEnd - 1 of the slot are read (the rest of the screen
    // is unchanged since the last capture), so a method may refresh just those and leave
    // the other rows as they are. 0: the whole slot.
    int32_t rowsOnly;
    int32_t rowsFirst;
    int32_t rowsEnd;
};

// One method. Every slot is filled; all calls come from the session's thread.
struct CaptureMethodOps {
    int32_t method;   // CaptureMethod value, as logged
    int32_t bottomUp; // row order this method writes (0: top row first)
    // A method object bound to session, or null (logged).
    void *(*create)(CaptureSession *session);
    // Frees everything the object holds. Null is ignored.
    void (*destroy)(void *object);
    // Called at every relayout with the capture size. Returns 1 when ready.
    int (*prepare)(void *object, WindowHandle window, int32_t width, int32_t height);
    // Copies one frame into slot. Returns 1 when the slot was written or reused from the
    // saved frame, 0 when it was left as it was.
    int (*capture)(void *object, const CaptureFrameRequest *request, uint8_t *slot);
    // This method's geometry of the window (window != 0) or of the display at
    // displayIndex of list. Returns 1 when measured; on failure *out is all zero.
    int (*geometry)(CaptureSession *session, const DisplayList *list, WindowHandle window,
                    int32_t displayIndex, CaptureGeometry *out);
};

extern const CaptureMethodOps kFrontBufferCaptureOps;
extern const CaptureMethodOps kWindowCaptureOps;
// The table for a CaptureMethod value (the window method for unknown values).
const CaptureMethodOps *CaptureMethodOpsFor(int32_t method);

// Opens a session on the configured X display. Null (logged) when none answers.
CaptureSession *CaptureSessionOpen();
void CaptureSessionClose(CaptureSession *session);

// Change tracking. 1 when the session learns of every change on the screen (drawing,
// and a new cursor image); without it every frame has to be taken as changed.
int CaptureSessionTracksChanges(CaptureSession *session);
// Follows the drawing into window as well as the screen's (0: the screen only).
void CaptureSessionFollowWindow(CaptureSession *session, WindowHandle window);
// Reads the events that have arrived without waiting. Returns 1 when something was drawn
// or the cursor image changed since the last call; the recorded damage is cleared, so
// drawing from now on is reported again. A capture made after this call includes
// everything reported by it. drawn, when given, receives the bounds of what was drawn
// on the screen in root coordinates (empty when nothing was), or kWholeScreen when that
// is not known: a new cursor image, drawing in the followed window, no region support.
int CaptureSessionTakeChanges(CaptureSession *session, DisplayRect *drawn = nullptr);
constexpr DisplayRect kWholeScreen = {-(1 << 30), -(1 << 30), 1 << 30, 1 << 30};
// Where the cursor image is drawn when its hot spot is at (x, y), in the same space; false
// when the image is not known.
bool CaptureSessionCursorBox(CaptureSession *session, int32_t x, int32_t y, DisplayRect *box);
// Waits up to timeoutMs for the server to send an event. Returns 1 when one is waiting.
int CaptureSessionWaitForEvents(CaptureSession *session, int32_t timeoutMs);

// The front-buffer method when the server shares memory with this process (decided
// once per process), the window method otherwise.
int32_t ChooseCaptureMethod(CaptureSession *session);

// The window's current size through the shared user-interface connection (any thread
// but the capture thread). 0 x 0 when it cannot be read; returns 1 when read.
int CaptureWindowSize(WindowHandle window, int32_t *width, int32_t *height);

// 1 when the window is gone or minimised.
int CaptureWindowLost(CaptureSession *session, WindowHandle window);

// 1 when another window that matters overlaps the window from above, or the window is
// not shown, so a picture taken from the screen cannot be trusted.
int IsWindowCovered(CaptureSession *session, WindowHandle window);

// ---- Portable pieces (no window system) ----

// Blends cursor into a top-down slot covering rect; (cursorX, cursorY) is in rect's
// coordinate space. Pixels outside the slot are skipped.
void DrawCursorOverlay(const CaptureRect &rect, int32_t cursorX, int32_t cursorY,
                       const CursorImage &cursor, uint8_t *slot);
// 1 when every pixel is fully transparent, opaque black or opaque white: a cursor drawn
// with the two-tone rule.
int CursorImageIsTwoTone(const uint32_t *argb, int32_t count);

// One client window in stacking order, bottom first.
struct StackEntry {
    WindowHandle window;
    DisplayRect rect;  // including the window manager's frame
    int32_t visible;   // mapped and not minimised
    int32_t ignorable; // dock, tooltip, notification or override-redirect
};
// The occlusion rule over a stacking list: 0 when window is topmost or not listed,
// 1 when it is not visible, else whether a visible, not ignorable window above it
// intersects its rectangle.
int WindowCoveredInStack(const StackEntry *entries, int32_t count, WindowHandle window);
