// The capture manager: turns the chosen display or application window into a steady
// flow of encoded frames while a receiver is connected.
//
// One CaptureManager per process, made by the shell at start-up and never freed. The
// mirroring connection starts a run with CaptureVideoStart and ends it with
// CaptureVideoStop. A run owns a capture thread, which owns the run's capture session,
// method objects, CaptureBuffers pipeline and FrameEncoder, and releases them all
// before it ends.
//
// Threads: fields marked "shell" are written by the user-interface thread, "connection"
// by the mirroring connection's thread; every flag has one writer and is read once per
// iteration by the capture thread, which clears it when it acts on it. CaptureVideoStop
// must not be called from the capture thread or from the pipeline's threads.
#pragma once

#include "base/thread.h"
#include "capture/capture_types.h"

#include <atomic>
#include <cstdint>
#include <mutex>

struct CaptureBuffers;
struct CaptureManager;
struct CaptureSession;
struct Event;
struct FrameEncoder;
struct PortalCapture;

// Receives status lines ("" clears the line). The text is valid only during the call.
typedef void (*CaptureStatusFn)(void *context, const char *text);
// Called on the capture thread, once, when the mirrored window is lost.
typedef void (*CaptureTargetLostFn)(CaptureManager *manager, void *user);
// Called on the capture thread, once, when a run ends because nothing can be captured
// (no display server, the portal refused, the stream ended). connection is the run's;
// reason is valid only during the call. Must not wait for the capture thread.
typedef void (*CaptureFailedFn)(void *context, void *connection, const char *reason);

struct CaptureManager {
    Thread thread;                        // the capture thread of the current run
    std::atomic<int32_t> running;         // 1 from start until stop (or a failed encoder build)
    Event *startedEvent;                  // manual reset; set once the capture thread initialised
    Event *stoppedEvent;                  // manual reset; set by the capture thread as its last act
    std::atomic<double> overscan;         // 0.00..0.20 (shell), 0.1 when the receiver overscans
    std::atomic<int32_t> quality;         // setting Quality + 2 (shell)
    int32_t encoderLevel;                 // always 1
    std::atomic<int32_t> showCursor;      // shell; read every frame
    std::atomic<int32_t> force720p;       // shell; used when targetSize is next set
    std::atomic<int32_t> overscanChanged; // set by CaptureSetOverscan
    std::atomic<int32_t> rebuildEncoder;  // shell, when quality changes while running
    std::atomic<int32_t> relayout;        // capture thread (and lost-target handling)
    std::atomic<int32_t> encodeResult;    // encode thread; nonzero requests a relayout
    std::atomic<int32_t> displayIndex;    // shell; index into the DisplayList
    std::atomic<double> maxFps;           // shell; 10..60, read every iteration
    std::atomic<float> outputSize[2];     // scaled capture size (relayout rule)
    std::atomic<float> receiverSize[2];   // connection
    std::atomic<float> targetSize[2];     // connection
    std::atomic<float> scaleFactor;       // factor of the last relayout
    CaptureStatusFn onStatusText;         // installed by the shell before the first run
    void *statusContext;                  // first argument of onStatusText
    CaptureTargetLostFn onTargetLost;     // installed by the shell after creation
    void *user;                           // passed to onTargetLost
    FrameEncoder *encoder;                // capture thread; none until a run's first relayout
    std::atomic<WindowHandle> window;     // shell; 0 = display mode
    int32_t cursorPos[2];                 // capture thread; in the capture area's coordinates
    int32_t method;                       // capture thread; current CaptureMethod
    std::atomic<int32_t> windowMode;      // capture thread; 1 while window is set
    CaptureRect captureRect;              // capture thread
    int32_t cursorInside;                 // capture thread
    void *frontBufferCapture;             // capture thread; made on first use in a run
    void *windowCapture;                  // capture thread; made on first use in a run
    CaptureBuffers *buffers;              // current pipeline; swapped under buffersLock
    void *connection;                     // the mirroring connection of the run
    // Beyond the portable record:
    std::mutex buffersLock;              // guards buffers against a concurrent CaptureVideoStop
    CaptureSession *session;             // capture thread; the run's window-system connection
    std::atomic<int32_t> methodOverride; // -1: ChooseCaptureMethod; else that CaptureMethod
    float builtPicture[2];               // picture size of the run's last encoder build
    int32_t lostLogged;                  // capture thread; the lost-display line was written
    int32_t buffersFailed;               // capture thread; the buffers-failure line was written
    int32_t backend;                     // capture thread; CaptureBackend of the run
    PortalCapture *portal;               // capture thread; the run's portal session, if any
    // Capture thread: how long before the next capture its change is taken to have come.
    int64_t contentAgeNanos;
    uint64_t portalSlotFrame[2];         // capture thread; portal frame number each slot holds
    CaptureFailedFn onCaptureFailed;     // installed by the shell; may be null
    void *failedContext;                 // first argument of onCaptureFailed
    // The link's pace, written by the connection (through the shell's capture link) and
    // read by the capture and encode threads:
    std::atomic<int32_t> holdPictures;   // 1: the link is behind; no picture is captured
    std::atomic<int32_t> linkMaxKbps;    // the encoder's bitrate cap from the link; 0: none
    std::atomic<int32_t> keyFrameWanted; // 1: the next picture encoded is a key frame; the
                                         // encode thread clears it when it passes it on
    // Capture thread, after a portal session described its monitors (published for
    // EnumerateDisplays): the shell enumerates the displays again. Gets the manager.
    // May be null.
    void (*onDisplaysChanged)(void *context);
};

// Makes the process's manager: quality = qualitySetting + 2, encoderLevel 1, flags 0,
// both events made. Null when events cannot be made.
[[nodiscard]] CaptureManager *CaptureManagerCreate(double overscan, int qualitySetting,
                                                   int showCursor, int force720p, double maxFps);

// Stops any run and frees the manager (the program keeps its one manager for its whole
// life; tests and an orderly shutdown free it). Null is ignored.
void CaptureManagerDestroy(CaptureManager *manager);

// Starts a run (nothing happens while one is running) and waits up to 500 ms for the
// capture thread to initialise.
void CaptureVideoStart(CaptureManager *manager, void *connection, int displayIndex,
                       WindowHandle window);
// Ends the run and joins the capture thread. Every wait inside the run re-checks running
// at least every 100 ms, so this returns promptly. Nothing happens when idle.
void CaptureVideoStop(CaptureManager *manager);
// Stores a new overscan fraction and asks for a relayout when it differs.
void CaptureSetOverscan(CaptureManager *manager, double value);
// Recomputes outputSize from the window's or the display's current size.
void CaptureUpdateOutputSize(CaptureManager *manager);
// The receiver's reported picture size: receiverSize is (width, height) for widths 1920
// and 1280, else 1280 x 720; targetSize is 1280 x 720 under force720p, else receiverSize.
void CaptureSetReceiverSize(CaptureManager *manager, int reportedWidth, int reportedHeight);
// The size of every encoded picture: targetSize in window mode, outputSize otherwise.
void CapturePictureSize(const CaptureManager *manager, float *width, float *height);

// ---- Portable pieces ----

// The output-size rule: fits (width, height) into target keeping the aspect, gives up
// overscan, rounds each side down to a multiple of 4. Zero sizes give 0 x 0 and factor 0.
void ComputeOutputSize(int32_t width, int32_t height, float targetWidth, float targetHeight,
                       double overscan, float *outWidth, float *outHeight, float *factor);
// Milliseconds to sleep before the next capture: (1 / maxFps - elapsed) x 1000 truncated,
// 0 when none is due. maxFps is limited to 1..240.
int32_t CapturePacingSleepMs(double maxFps, double elapsedSeconds);
