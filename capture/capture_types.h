// Plain geometry and image records shared by the capture code. Portable: no
// window-system types appear here, so the logic built on them is testable without
// a desktop.
#pragma once

#include <cstdint>

// An X window id (XID); 0 means "no window" (display mode).
typedef uint64_t WindowHandle;

// Capture area: left, top, width, height.
struct CaptureRect {
    int32_t left;
    int32_t top;
    int32_t width;
    int32_t height;
};

// Edges: left, top, right (exclusive), bottom (exclusive).
struct DisplayRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// Values that reach the log as the capture method number.
enum CaptureMethod : int32_t {
    CaptureMethodWindow = 0,      // the window's own drawable (XComposite / XGetImage)
    CaptureMethodFrontBuffer = 2, // MIT-SHM image of the root window
    CaptureMethodPortal = 3,      // ScreenCast portal stream over PipeWire (Wayland sessions)
};

// A cursor image as the overlay consumes it: premultiplied ARGB, one 32-bit word per
// pixel, rows top first. colour is 0 for a two-tone (black/white) cursor.
struct CursorImage {
    int32_t width;
    int32_t height;
    int32_t hotX;
    int32_t hotY;
    int32_t colour;
    const uint32_t *argb;
};

inline bool DisplayRectIntersects(const DisplayRect &a, const DisplayRect &b) {
    return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

inline bool DisplayRectContains(const DisplayRect &r, int32_t x, int32_t y) {
    // Edges included, as the geometry functions count the cursor inside.
    return x >= r.left && x <= r.right && y >= r.top && y <= r.bottom;
}
