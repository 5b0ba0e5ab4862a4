// Screen capture in a Wayland session: a ScreenCast session of the desktop portal over
// D-Bus (sd-bus), and the frames of its PipeWire stream in shared memory.
//
// A PortalCapture belongs to the capture thread of one run: it opens, polls, copies and
// closes there. PipeWire delivers buffers on a loop thread of its own; the newest one is
// kept until a newer one arrives, so a capture always finds the last frame the compositor
// sent (portals send frames only when the screen changes). A frame can also be lent, read
// in place by another thread (the scale stage) instead of copied: its buffer then stays
// out of the stream's queue until the read is over, and a renegotiation that takes the
// stream's buffers back waits for a read in progress and turns the other lent frames away.
#pragma once

#include "capture/capture_method.h"

#include <cstdint>
#include <string>

struct PortalCapture;

// Cursor modes of the ScreenCast portal.
constexpr uint32_t kPortalCursorHidden = 1;
constexpr uint32_t kPortalCursorEmbedded = 2;
// Source types of the ScreenCast portal.
constexpr uint32_t kPortalSourceMonitor = 1;
constexpr uint32_t kPortalSourceWindow = 2;

struct PortalCaptureOptions {
    uint32_t
        cursorMode; // kPortalCursorEmbedded or kPortalCursorHidden (the closest offered is taken)
    uint32_t sourceType;   // kPortalSourceMonitor, or kPortalSourceWindow when offered
    int32_t streamIndex;   // which of the portal's streams to read (0 when out of range)
    std::string tokenPath; // file keeping the restore token; empty: none kept
    // Polled during every wait; 0 ends the wait (the run is being stopped).
    int (*keepGoing)(void *context);
    void *context;
};

// One stream of the session, as the portal describes it.
struct PortalStream {
    uint32_t node;
    int32_t x, y;          // position in the compositor's space (0, 0 when not given)
    int32_t width, height; // 0 when not given
    uint32_t sourceType;
};

// Opens the session and connects to the chosen stream. Every wait is bounded. Null on
// failure, with the reason logged and copied into reason.
[[nodiscard]] PortalCapture *PortalCaptureOpen(const PortalCaptureOptions *options,
                                               std::string *reason);
// Closes the stream and the session. Null is ignored.
void PortalCaptureClose(PortalCapture *capture);

// Handles what the bus and the stream reported since the last call. Returns 1 while the
// capture can go on, 0 once the session was closed or the stream ended (reason says why).
int PortalCapturePoll(PortalCapture *capture, std::string *reason);

// The capture area: (0, 0, width, height) of the stream's current format (before the
// first format, the size the portal announced). No cursor: the compositor draws it.
int PortalCaptureGeometry(PortalCapture *capture, CaptureGeometry *out);

// Copies the newest frame into a packed slot of width x height pixels (4 x width bytes a
// row, top row first). Returns 1 when the slot holds it; 0 leaves the slot as it was.
// *slotFrame is the number of the frame the slot holds (0: none); a slot that holds the
// newest frame already is not copied again. *redFirst tells the channel order.
int PortalCaptureCopy(PortalCapture *capture, uint8_t *slot, int32_t width, int32_t height,
                      uint64_t *slotFrame, int32_t *redFirst);

// Whether a frame newer than the last one captured (lent or copied) has come; the next
// call answers 0 until another one comes. Capture thread.
int PortalCaptureTakeChanges(PortalCapture *capture);
// Waits up to timeoutMs for a frame newer than the last one captured or for the stream's
// end. Returns 1 when such a frame is there.
int PortalCaptureWaitForFrame(PortalCapture *capture, int32_t timeoutMs);
// How long ago the newest frame arrived, the first time it is asked for that frame; 0 for
// a frame already dated (the still screen's repeat shows nothing new to keep in step with).
int64_t PortalCaptureFrameAge(PortalCapture *capture);

// Lends the newest frame, to be read in place: when it is width x height pixels packed at
// 4 x width bytes a row, its buffer stays out of the stream's queue under *token until
// PortalCaptureRelease, and *redFirst tells its channel order. Returns 0, lending nothing,
// when there is no frame yet, it has another size or padded rows (PortalCaptureCopy then
// copies what it can), or a few frames are lent already.
int PortalCaptureLend(PortalCapture *capture, int32_t width, int32_t height, uint64_t *token,
                      int32_t *redFirst);
// Starts reading a lent frame: its pixels, or null when the stream took its buffer back
// (a renegotiation) meanwhile. The buffer stays mapped until PortalCaptureRelease. Any
// thread.
const uint8_t *PortalCaptureBeginRead(PortalCapture *capture, uint64_t token);
// Ends a lent frame, read or not: exactly once per token, from any thread, before
// PortalCaptureClose. A buffer no frame is lent from any more goes back to the stream
// with the next frame after the one that replaced it.
void PortalCaptureRelease(PortalCapture *capture, uint64_t token);

// The source types the session bus's ScreenCast portal offers (kPortalSource* bits), 0
// when there is no portal. A short bounded query for the user-interface thread.
uint32_t PortalAvailableSourceTypes();

// The window handle of the one entry the application menu shows in a Wayland session
// whose portal shares windows: choosing it lets the desktop's own dialog pick the window.
constexpr WindowHandle kPortalWindowChoice = 1;

// The session's streams (valid after a successful open).
int PortalCaptureStreams(const PortalCapture *capture, PortalStream *out, int capacity);
