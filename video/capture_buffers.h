// The three-stage pipeline from captured BGRX images to the encoder.
//
//   capture thread (the owner's) --capture pair--> scale thread --picture pair--> encode thread
//
// Each hand-over goes through two slots. A producer takes a free slot with
// CaptureBuffersTakeForFilling, fills it and gives it back (it becomes ready); a consumer
// takes the oldest ready slot with CaptureBuffersTakeForReading, uses it and gives it back
// (it becomes free), so frames keep their order. Stages block when they have nothing to do or nowhere to put
// their result, so no frame is ever skipped. Every wait is bounded to 100 ms so that each
// thread re-reads running at least that often.
//
// The owner (the capture manager) creates one CaptureBuffers per layout, is the only
// producer of the capture pair, and destroys the buffers before making the next ones.
// CaptureBuffersStop may be called from any thread; CaptureBuffersDestroy from the owner's
// thread only (it joins the scale and encode threads).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/thread.h"
#include "video/scale_convert.h"

struct Event;
struct FrameEncoder;

constexpr int SlotFree = 0;
constexpr int SlotReading = 1;
constexpr int SlotFilling = 2;
constexpr int SlotReady = 3;

constexpr int CapturePair = 0; // capture thread -> scale thread
constexpr int PicturePair = 1; // scale thread -> encode thread

// What the encode thread needs from the owner. Every slot must be filled; each function is
// called on the encode thread with the owner's context first.
struct CaptureBuffersOwnerOps {
    // The current encoder, or null (the picture is then passed over without encoding).
    FrameEncoder *(*encoder)(void *owner);
    // Handed to every encode call and so to the output callback.
    void *(*connection)(void *owner);
    // MaxFPS setting, shown in the status line.
    double (*maxFps)(void *owner);
    // Result of each encode call; nonzero asks the owner to rebuild the pipeline.
    void (*setEncodeResult)(void *owner, int result);
    // A status line every 20 encoded pictures. The text is valid only during the call.
    void (*onStatusText)(void *owner, const char *text);
};

constexpr int kStatusTextSize = 1024;

// A picture lent to a capture slot in place of a copy in its memory: pixels that stay where
// the window system put them (a buffer it shares) until the scale stage has read them.
struct CaptureLenderOps {
    // Starts reading the picture lent as token: captureWidth x captureHeight pixels at
    // 4 x captureWidth bytes a row, or null when they are gone (the picture is skipped).
    const uint8_t *(*beginRead)(void *context, uint64_t token);
    // Done with token, read or not. Called exactly once per lent picture: by the scale
    // thread, or by CaptureBuffersDestroy for a picture never read.
    void (*release)(void *context, uint64_t token);
};

struct CaptureBuffers {
    int32_t ssse3;                // 1: ScaleConvertSsse3; 0: scalar stretch, then ConvertBgrxToI420
    uint8_t *captureSlots[2];     // BGRX, captureWidth * captureHeight * 4 bytes each; owned
    // System V shared-memory segment each capture slot is (already marked for removal, so
    // it goes with its last attachment), or -1 for plain memory: an X server can then
    // write a captured frame straight into the slot.
    int32_t captureShmIds[2];
    uint8_t *pictureSlots[2][3];  // Y, U, V planes; owned
    int32_t pictureStrides[2][3]; // pictureWidth, pictureWidth / 2, pictureWidth / 2
    int32_t captureState[2];      // guarded by slotLock
    int32_t pictureState[2];      // guarded by slotLock
    // Per pair and slot, the order in which the slot last became ready; consumers take the
    // oldest ready slot so that frames keep their order. Guarded by slotLock.
    uint64_t readyOrder[2][2];
    uint64_t readyCounter[2];
    std::mutex slotLock;
    Event *captureHasSpace; // manual reset, initially set
    Event *captureReady;    // manual reset, initially clear
    Event *pictureHasSpace; // manual reset, initially set
    Event *pictureReady;    // manual reset, initially clear
    int32_t captureWidth;
    int32_t captureHeight;
    int32_t pictureWidth;
    int32_t pictureHeight;
    // 1 when the capture slots hold rows bottom first. Written by the capture thread before
    // it fills a slot, read by the scale thread after taking it.
    std::atomic<int32_t> bottomUp;
    // bottomUp as it was when each capture slot was handed on; guarded by slotLock.
    int32_t slotBottomUp[2];
    // 1 when the capture slots hold R, G, B, X pixels (a stream negotiated that order);
    // written and recorded per slot like bottomUp. 0 at creation.
    std::atomic<int32_t> redFirst;
    int32_t slotRedFirst[2];
    // The picture lent to each capture slot (token 0: the slot holds its own pixels). Set
    // by CaptureBuffersLend while the slot is filled; whoever takes the token out releases
    // it. Guarded by slotLock.
    uint64_t slotLentToken[2];
    const CaptureLenderOps *slotLender[2];
    void *slotLenderContext[2];
    // Monotonic nanoseconds at which each capture slot was taken for filling (just before
    // the screen was read), and the same time carried to each picture slot by the scale
    // thread; the encode thread hands it to the encoder with the picture. Guarded by
    // slotLock.
    int64_t slotCaptureNanos[2];
    int64_t slotPictureNanos[2];
    // Per capture slot: 1 when only slotChange[slot] (picture coordinates) differs from the
    // picture before, which the scale stage then redoes alone; 0 (the default at each
    // filling) when the capture is read whole. Guarded by slotLock.
    int32_t slotChangeKnown[2];
    PixelArea slotChange[2];
    // 1 from creation until CaptureBuffersStop or CaptureBuffersDestroy.
    std::atomic<int32_t> running;
    int64_t counterFrequency; // ticks per second of the clock used for the stage times
    // Stage statistics since the last status line: each written by its own stage thread,
    // read and cleared by the encode thread; they only feed the status line.
    std::atomic<double> captureSeconds;
    std::atomic<double> scaleSeconds;
    std::atomic<double> encodeSeconds;
    std::atomic<int32_t> captureCount;
    std::atomic<int32_t> scaleCount;
    std::atomic<int32_t> encodeCount;
    const CaptureBuffersOwnerOps *ownerOps;
    void *owner;
    char statusText[kStatusTextSize]; // rewritten every 20 encoded pictures
    Thread scaleThread;
    Thread encodeThread;
};

// Allocates the slots and starts the scale and encode threads. ownerOps and owner are fixed
// for the life of the buffers. Returns null (and logs) when a size is not positive or memory,
// events or threads cannot be had.
[[nodiscard]] CaptureBuffers *CaptureBuffersCreate(int captureWidth, int captureHeight,
                                                   int pictureWidth, int pictureHeight, int ssse3,
                                                   const CaptureBuffersOwnerOps *ownerOps,
                                                   void *owner);
// Clears running: every wait inside the pipeline ends within 100 ms. Any thread.
void CaptureBuffersStop(CaptureBuffers *buffers);
// Stops, wakes and joins both threads, then frees everything. Null is ignored.
void CaptureBuffersDestroy(CaptureBuffers *buffers);

// Takes the lowest-numbered free slot of pair and marks it filling. Returns the slot, or -1 once
// running is 0.
[[nodiscard]] int CaptureBuffersTakeForFilling(CaptureBuffers *buffers, int pair);
// Takes the ready slot of pair that was filled first and marks it reading, or -1 once running
// is 0.
[[nodiscard]] int CaptureBuffersTakeForReading(CaptureBuffers *buffers, int pair);
// Filling -> ready (wakes the consumer); reading -> free (wakes the producer).
void CaptureBuffersGiveBack(CaptureBuffers *buffers, int pair, int slot);
// Lends token's picture to a capture slot taken for filling, read in place of the slot's
// own pixels; the slot is given back as usual. Capture thread.
void CaptureBuffersLend(CaptureBuffers *buffers, int slot, const CaptureLenderOps *lender,
                        void *context, uint64_t token);
// The screen in a capture slot being filled may have changed some time before the capture
// began (it waited for its frame interval): its content is dated nanos earlier. Capture
// thread, between taking the slot and giving it back.
void CaptureBuffersSetContentAge(CaptureBuffers *buffers, int slot, int64_t nanos);
// The capture in a slot being filled differs from the one before it only within changed
// (capture coordinates). Only source rows *first .. *end - 1 of the slot will be read, so
// the capture may refresh just those and leave older pixels in the others. Without this
// call a slot is read whole. Capture thread, between taking the slot and giving it back.
void CaptureBuffersSetChange(CaptureBuffers *buffers, int slot, PixelArea changed,
                             int32_t *first, int32_t *end);
// Adds one capture and its duration to the statistics. Capture thread.
void CaptureBuffersAddCaptureTime(CaptureBuffers *buffers, double seconds);

// Formats the status line from the statistics: maxFps and each stage's pictures per second
// (count / seconds, 0 when the stage spent no time). Returns the text length.
int FormatPipelineStatus(char *out, int size, double maxFps, int captureCount,
                         double captureSeconds, int scaleCount, double scaleSeconds,
                         int encodeCount, double encodeSeconds);
