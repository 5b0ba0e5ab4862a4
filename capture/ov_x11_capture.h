// Shared internals of the X11 capture files (ov_x11_*.cpp only).
#pragma once

#include "capture/capture_method.h"
#include "capture/displays.h"

#include <X11/Xlib.h>

#include <cstdint>
#include <unordered_map>
#include <vector>

struct CaptureSession {
    Display *display; // owned; closed by CaptureSessionClose
    Window root;
    int32_t hasComposite; // XComposite 0.2 or later
    int32_t hasXFixes;
    std::vector<uint32_t> cursorScratch; // grows, never shrinks; holds the cached cursor
    int32_t cursorNotifyType;            // event type of XFixes cursor changes; 0 without
    int32_t cursorCached;                // cursor holds the image the server shows now
    CursorImage cursor;
    // Whether a window may be ignored when it lies above the mirrored one (its type or
    // override-redirect, fixed before a window is mapped), so that the per-frame
    // occlusion test asks the server only for what moves.
    std::unordered_map<unsigned long, int32_t> ignorableWindows;
    // Change tracking through the DAMAGE extension: one damage object on the root window
    // (everything drawn on the screen) and one on the followed window (its own drawable,
    // which a compositing manager may keep off the screen). 0 without the extension.
    int32_t hasDamage;
    int32_t damageNotifyType;
    unsigned long rootDamage;
    unsigned long windowDamage;
    unsigned long followedWindow;
    // Region the root's damage is moved into to read its bounds; 0 without XFixes 2.
    unsigned long damageParts;
};

// Starts following the screen's damage (sets hasDamage); logs when the server cannot.
void OvWatchDamage(CaptureSession *session);

int OvEnumerateDisplays(Display *display, DisplayList *list);
// Logs "Didn't find monitor for HWND!" when the window lies on no listed display.
int OvDisplayIndexOfWindow(Display *display, const DisplayList *list, WindowHandle window);

// The current cursor image (premultiplied ARGB in session->cursorScratch). False when
// the server has no XFixes or the request failed.
bool OvFetchCursor(CaptureSession *session, CursorImage *out);

// Geometry of a display of list: its rectangle in root coordinates, the cursor in root
// coordinates when inside.
int OvDisplayGeometry(CaptureSession *session, const DisplayList *list, int32_t displayIndex,
                      CaptureGeometry *out);

// The geometry slots of the two method tables.
int OvFrontBufferGeometry(CaptureSession *session, const DisplayList *list, WindowHandle window,
                          int32_t displayIndex, CaptureGeometry *out);
int OvWindowGeometry(CaptureSession *session, const DisplayList *list, WindowHandle window,
                     int32_t displayIndex, CaptureGeometry *out);

// Copies rect-sized rows out of an XImage of 32 bits per pixel into a packed slot, or
// converts pixel by pixel for other layouts. visual supplies the channel masks when the
// image has none (images read from pixmaps).
// Whether the image's pixels are 32-bit B, G, R, X in memory, as slots hold them (fills
// in visual's masks when the image has none).
bool OvImageIsPackedBgrx(XImage *image, Visual *visual);
void OvCopyImageToSlot(XImage *image, Visual *visual, int32_t width, int32_t height, uint8_t *slot);
