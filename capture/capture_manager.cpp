#include "capture/capture_manager.h"

#include "base/clock.h"
#include "base/event.h"
#include "base/log.h"
#include "base/thread.h"
#include "capture/capture_backend.h"
#include "capture/capture_method.h"
#include "capture/displays.h"
#include "capture/ov_portal_capture.h"
#include "video/capture_buffers.h"
#include "video/frame_encoder.h"
#include "video/scale_convert.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

// ---- What the pipeline's encode thread reads from the manager ----

// Called just before each picture is encoded: the link's wishes go to the encoder here, on
// the encode thread that owns it meanwhile.
FrameEncoder *OwnerEncoder(void *owner) {
    CaptureManager *m = static_cast<CaptureManager *>(owner);
    FrameEncoder *encoder = m->encoder;
    if (encoder) {
        encoder->linkMaxKbps = m->linkMaxKbps.load();
        if (m->keyFrameWanted.exchange(0)) encoder->keyFrameWanted = 1;
    }
    return encoder;
}

void *OwnerConnection(void *owner) {
    return static_cast<CaptureManager *>(owner)->connection;
}

double OwnerMaxFps(void *owner) {
    return static_cast<CaptureManager *>(owner)->maxFps.load();
}

void OwnerSetEncodeResult(void *owner, int result) {
    static_cast<CaptureManager *>(owner)->encodeResult.store(result);
}

void OwnerStatusText(void *owner, const char *text) {
    CaptureManager *m = static_cast<CaptureManager *>(owner);
    if (m->onStatusText) m->onStatusText(m->statusContext, text);
}

const CaptureBuffersOwnerOps kOwnerOps = {
    .encoder = OwnerEncoder,
    .connection = OwnerConnection,
    .maxFps = OwnerMaxFps,
    .setEncodeResult = OwnerSetEncodeResult,
    .onStatusText = OwnerStatusText,
};

// ---- Capture thread ----

int32_t CurrentMethod(CaptureManager *m) {
    if (m->backend == CaptureBackendPortal) return CaptureMethodPortal;
    int32_t forced = m->methodOverride.load();
    if (forced == CaptureMethodFrontBuffer || forced == CaptureMethodWindow) return forced;
    return ChooseCaptureMethod(m->session);
}

void **MethodObjectSlot(CaptureManager *m, int32_t method) {
    return method == CaptureMethodFrontBuffer ? &m->frontBufferCapture : &m->windowCapture;
}

// Refreshes captureRect and the cursor; returns whether width or height changed.
int UpdateCaptureRect(CaptureManager *m, WindowHandle window, int32_t displayIndex) {
    CaptureGeometry g{};
    if (m->method == CaptureMethodPortal) {
        PortalCaptureGeometry(m->portal, &g);
    } else {
        CaptureMethodOpsFor(m->method)->geometry(m->session, ProcessDisplayList(), window,
                                                 displayIndex, &g);
    }
    bool changed = g.rect.width != m->captureRect.width || g.rect.height != m->captureRect.height;
    m->captureRect = g.rect;
    m->cursorPos[0] = g.cursorX;
    m->cursorPos[1] = g.cursorY;
    m->cursorInside = g.cursorInside;
    return changed ? 1 : 0;
}

int CheckLostTarget(CaptureManager *m, WindowHandle window) {
    bool empty = m->captureRect.width == 0 || m->captureRect.height == 0;
    if (window) {
        if (!empty && !CaptureWindowLost(m->session, window)) return 0;
        DebugLog(1, "Looks like we lost the Mirroring Window! Should Disconnect: %i\n", 0);
        // Only clear the choice if the shell has not picked something else meanwhile.
        WindowHandle expected = window;
        m->window.compare_exchange_strong(expected, 0);
        m->relayout.store(1);
        if (m->onTargetLost) m->onTargetLost(m, m->user);
        return 1;
    }
    if (!empty) {
        m->lostLogged = 0;
        return 0;
    }
    // Logged once per loss, not at every paced iteration while nothing can be measured.
    if (!m->lostLogged) DebugLog(1, "Looks like we lost the Mirrored Monitor\n");
    m->lostLogged = 1;
    m->displayIndex.store(0);
    m->window.store(0);
    m->relayout.store(1);
    return 1;
}

void SetBuffers(CaptureManager *m, CaptureBuffers *buffers) {
    std::lock_guard<std::mutex> hold(m->buffersLock);
    m->buffers = buffers;
    // A stop that came while the buffers were being made must reach them too.
    if (buffers && m->running.load() == 0) CaptureBuffersStop(buffers);
}

void DestroyBuffers(CaptureManager *m) {
    CaptureBuffers *old;
    {
        std::lock_guard<std::mutex> hold(m->buffersLock);
        old = m->buffers;
        m->buffers = nullptr;
    }
    if (old) CaptureBuffersDestroy(old);
}

// Rebuilds the pipeline (and, when needed, the encoder) for the current geometry.
// Returns 0 when no frame can be captured this iteration.
int Relayout(CaptureManager *m, int ssse3) {
    m->relayout.store(0);
    m->encodeResult.store(0);
    m->overscanChanged.store(0);
    int32_t w = m->captureRect.width, h = m->captureRect.height;
    float outW = 0, outH = 0, factor = 0;
    ComputeOutputSize(w, h, m->targetSize[0].load(), m->targetSize[1].load(), m->overscan.load(),
                      &outW, &outH, &factor);
    m->outputSize[0].store(outW);
    m->outputSize[1].store(outH);
    m->scaleFactor.store(factor);
    float pictureW, pictureH;
    CapturePictureSize(m, &pictureW, &pictureH);

    if (m->method != CaptureMethodPortal) {
        const CaptureMethodOps *ops = CaptureMethodOpsFor(m->method);
        void **object = MethodObjectSlot(m, m->method);
        if (!*object) *object = ops->create(m->session);
        if (*object) ops->prepare(*object, m->window.load(), w, h);
    }

    if (m->buffers) {
        DebugLog(2, "Destroying Capture Buffers!\n");
        DestroyBuffers(m);
    }
    CaptureBuffers *buffers =
        CaptureBuffersCreate(w, h, (int)pictureW, (int)pictureH, ssse3, &kOwnerOps, m);
    if (!buffers) {
        // A size too small to scale (a window a few pixels high, no receiver size yet):
        // try again next iteration rather than ending the run.
        if (!m->buffersFailed)
            DebugLog(2, "Cannot make Capture Buffers for %ix%i -> %ix%i\n", w, h, (int)pictureW,
                     (int)pictureH);
        m->buffersFailed = 1;
        m->relayout.store(1);
        return 0;
    }
    m->buffersFailed = 0;
    m->portalSlotFrame[0] = m->portalSlotFrame[1] = 0;
    SetBuffers(m, buffers);

    bool sizeChanged = pictureW != m->builtPicture[0] || pictureH != m->builtPicture[1];
    if (!m->encoder || sizeChanged || m->rebuildEncoder.load()) {
        if (!RebuildFrameEncoder(&m->encoder, (float)(int)pictureW, (float)(int)pictureH,
                                 m->quality.load(), m->encoderLevel)) {
            m->running.store(0);
            return 0;
        }
        m->builtPicture[0] = pictureW;
        m->builtPicture[1] = pictureH;
        m->rebuildEncoder.store(0);
    }
    return 1;
}

const uint8_t *PortalBeginRead(void *context, uint64_t token) {
    return PortalCaptureBeginRead(static_cast<PortalCapture *>(context), token);
}

void PortalRelease(void *context, uint64_t token) {
    PortalCaptureRelease(static_cast<PortalCapture *>(context), token);
}

const CaptureLenderOps kPortalLender = {
    .beginRead = PortalBeginRead,
    .release = PortalRelease,
};

// The portal's newest frame (taken again when the still screen's picture is due). The
// scale stage reads it straight from the stream's buffer, which stays out of the stream's
// queue only until then; a frame with padded rows is copied into the slot instead.
void CapturePortalFrame(CaptureManager *m) {
    CaptureBuffers *buffers = m->buffers;
    int slot = CaptureBuffersTakeForFilling(buffers, CapturePair);
    if (slot < 0) return; // the pipeline is stopping
    // The stream says when its frame came: the picture shows the screen as it was then.
    CaptureBuffersSetContentAge(buffers, slot, PortalCaptureFrameAge(m->portal));
    buffers->bottomUp.store(0);
    int32_t redFirst = 0;
    uint64_t token = 0;
    if (PortalCaptureLend(m->portal, m->captureRect.width, m->captureRect.height, &token,
                          &redFirst)) {
        CaptureBuffersLend(buffers, slot, &kPortalLender, m->portal, token);
    } else if (!PortalCaptureCopy(m->portal, buffers->captureSlots[slot], m->captureRect.width,
                                  m->captureRect.height, &m->portalSlotFrame[slot], &redFirst) &&
               m->portalSlotFrame[slot] == 0) {
        // Nothing shown yet (a still screen sends no first frame): black, not stale memory.
        memset(buffers->captureSlots[slot], 0,
               (size_t)m->captureRect.width * m->captureRect.height * 4);
    }
    buffers->redFirst.store(redFirst);
    CaptureBuffersGiveBack(buffers, CapturePair, slot);
}

// A still screen is captured again this often. The receiver then gets a picture in every
// whole second, which the mirroring connection needs to send its heartbeat every two
// seconds as it does while the screen moves, and a late or lost picture still leaves no
// gap of a second; two pictures a second of a still screen cost a few milliseconds.
constexpr int64_t kStillPictureNanos = 500'000'000;
// Every wait re-reads running at least this often.
constexpr int32_t kWaitStepMs = 100;

// What the last capture showed, to tell whether the next one is needed (X11 with change
// tracking, and the portal, whose stream brings frames only when the screen changes).
struct ChangeWatch {
    int32_t tracks;       // the session reports drawing and cursor images
    int32_t cursorDrawn;  // the last capture drew the cursor
    int32_t cursorPos[2]; // where
    // Set with each change to capture: 1 when only drawn (root coordinates) and the
    // cursor's old and new places differ from the last capture, so that only that part
    // is read and converted.
    int32_t partial;
    DisplayRect drawn;
    // Where the last capture drew the cursor image (cursorBoxDrawn 0: it drew none).
    int32_t cursorBoxDrawn;
    DisplayRect cursorBox;
    // The last capture failed: its slot repeated the picture before, and what it missed
    // is no longer reported, so the next one is read whole.
    int32_t failed;
};

PixelArea AreaOf(const DisplayRect &r) {
    return PixelArea{r.left, r.top, r.right, r.bottom};
}

// The part of this capture that may differ from the last one, in capture coordinates:
// what was drawn, and the cursor where it was and where it is now. False when the whole
// capture is to be read. Records where this capture draws the cursor either way.
bool ChangedPart(CaptureManager *m, ChangeWatch *watch, const CaptureFrameRequest &request,
                 PixelArea *out) {
    DisplayRect box{0, 0, 0, 0};
    bool boxKnown = !request.drawCursor ||
                    CaptureSessionCursorBox(m->session, request.cursorX, request.cursorY, &box);
    DisplayRect lastBox = watch->cursorBoxDrawn ? watch->cursorBox : DisplayRect{0, 0, 0, 0};
    watch->cursorBoxDrawn = request.drawCursor && boxKnown ? 1 : 0;
    watch->cursorBox = box;
    if (!watch->partial || !boxKnown) return false;
    PixelArea r =
        PixelAreaUnion(PixelAreaUnion(AreaOf(watch->drawn), AreaOf(lastBox)), AreaOf(box));
    const CaptureRect &rect = request.rect;
    if (PixelAreaIsEmpty(r)) {
        *out = PixelArea{0, 0, 0, 0};
        return true;
    }
    // Bounds far outside the capture (the whole screen when unknown) are cut to it first.
    auto clamp = [](int64_t v, int32_t high) {
        return (int32_t)(v < 0 ? 0 : v > high ? high : v);
    };
    *out = PixelArea{clamp((int64_t)r.left - rect.left, rect.width),
                     clamp((int64_t)r.top - rect.top, rect.height),
                     clamp((int64_t)r.right - rect.left, rect.width),
                     clamp((int64_t)r.bottom - rect.top, rect.height)};
    return true;
}

void CaptureOneFrame(CaptureManager *m, WindowHandle window, int32_t displayIndex,
                     ChangeWatch *watch) {
    CaptureBuffers *buffers = m->buffers;
    const CaptureMethodOps *ops = CaptureMethodOpsFor(m->method);
    void *object = *MethodObjectSlot(m, m->method);
    int slot = CaptureBuffersTakeForFilling(buffers, CapturePair);
    if (slot < 0) return; // the pipeline is stopping
    CaptureBuffersSetContentAge(buffers, slot, m->contentAgeNanos);
    buffers->bottomUp.store(ops->bottomUp);
    if (object) {
        CaptureFrameRequest request{};
        request.window = window;
        request.rect = m->captureRect;
        request.windowMode = m->windowMode.load();
        request.displayIndex = displayIndex;
        request.drawCursor = m->showCursor.load() && m->cursorInside;
        request.cursorX = m->cursorPos[0];
        request.cursorY = m->cursorPos[1];
        request.slotShared = buffers->captureShmIds[slot] >= 0;
        request.slotShmId = buffers->captureShmIds[slot];
        // A display read from the screen may be read and converted in part; a window is
        // served from its last clean frame while covered, so it is always read whole.
        PixelArea changed;
        if (ChangedPart(m, watch, request, &changed) && !window &&
            m->method == CaptureMethodFrontBuffer && !ops->bottomUp) {
            CaptureBuffersSetChange(buffers, slot, changed, &request.rowsFirst,
                                    &request.rowsEnd);
            request.rowsOnly = 1;
        }
        // A failed copy leaves the slot as it was: a slot read whole is encoded again all
        // the same, one read in part shows the picture before.
        int ok = ops->capture(object, &request, buffers->captureSlots[slot]);
        if (!ok && request.rowsOnly) {
            int32_t first, end;
            CaptureBuffersSetChange(buffers, slot, PixelArea{0, 0, 0, 0}, &first, &end);
        }
        watch->failed = ok ? 0 : 1;
    }
    CaptureBuffersGiveBack(buffers, CapturePair, slot);
}

// Whether to capture now: something was drawn or the cursor image changed, the drawn
// cursor moved, the pipeline was rebuilt (its slots hold nothing yet), or the still
// screen's picture is due.
bool ScreenChanged(CaptureManager *m, ChangeWatch *watch, bool relaidOut, int64_t sinceLast) {
    DisplayRect drawn = kWholeScreen;
    bool changed = m->method == CaptureMethodPortal
                       ? PortalCaptureTakeChanges(m->portal) != 0
                       : CaptureSessionTakeChanges(m->session, &drawn) != 0;
    int32_t cursorDrawn = m->showCursor.load() && m->cursorInside ? 1 : 0;
    if (cursorDrawn != watch->cursorDrawn ||
        (cursorDrawn && (m->cursorPos[0] != watch->cursorPos[0] ||
                   m->cursorPos[1] != watch->cursorPos[1]))) {
        changed = true;
    }
    if (!changed && !relaidOut && sinceLast < kStillPictureNanos) return false;
    // The still screen's picture is read whole: it also mends anything a change report
    // might have missed.
    watch->partial = changed && !relaidOut && !watch->failed ? 1 : 0;
    watch->drawn = drawn;
    watch->cursorDrawn = cursorDrawn;
    watch->cursorPos[0] = m->cursorPos[0];
    watch->cursorPos[1] = m->cursorPos[1];
    return true;
}

// Sleeps until the server reports a change (the stream brings a frame), the still picture
// is due or, while the cursor is drawn (its moves raise no event), one frame interval has
// passed to look at it again. The portal's compositor draws the cursor into its frames.
void WaitForChange(CaptureManager *m, int64_t sinceLast) {
    int64_t waitMs = (kStillPictureNanos - sinceLast) / 1'000'000;
    if (waitMs > kWaitStepMs) waitMs = kWaitStepMs;
    if (m->method == CaptureMethodPortal) {
        PortalCaptureWaitForFrame(m->portal, (int32_t)(waitMs < 1 ? 1 : waitMs));
        return;
    }
    if (m->showCursor.load()) {
        double fps = m->maxFps.load();
        int64_t frameMs = fps >= 1.0 ? (int64_t)(1000.0 / fps) : 1000;
        if (waitMs > frameMs) waitMs = frameMs;
    }
    if (waitMs < 1) waitMs = 1;
    CaptureSessionWaitForEvents(m->session, (int32_t)waitMs);
}

// Ends the run because nothing can be captured, and tells the shell so that the
// connection does not stay open streaming nothing. A stop that came first wins.
void FailRun(CaptureManager *m, const char *reason) {
    int32_t expected = 1;
    if (!m->running.compare_exchange_strong(expected, 0)) return;
    DebugLog(2, "Video capture failed: %s\n", reason);
    if (m->onCaptureFailed) m->onCaptureFailed(m->failedContext, m->connection, reason);
}

int PortalKeepGoing(void *context) {
    return static_cast<CaptureManager *>(context)->running.load() != 0;
}

// Opens the portal session for the run. Started after startedEvent: the user may take
// a while to answer the portal's dialog, and a stop ends every wait within 100 ms.
void OpenPortal(CaptureManager *m) {
    PortalCaptureOptions options{};
    options.cursorMode = m->showCursor.load() ? kPortalCursorEmbedded : kPortalCursorHidden;
    // An application chosen in the menu is picked again in the portal's own dialog, where
    // the portal offers windows at all.
    options.sourceType = m->window.load() ? kPortalSourceWindow : kPortalSourceMonitor;
    options.streamIndex = m->displayIndex.load();
    options.tokenPath = PortalTokenPath();
    options.keepGoing = PortalKeepGoing;
    options.context = m;
    std::string reason;
    m->portal = PortalCaptureOpen(&options, &reason);
    if (!m->portal) {
        if (m->running.load()) FailRun(m, ("screen-cast portal: " + reason).c_str());
        return;
    }
    // The streams are the monitors a Wayland session lets this program see.
    PortalStream streams[kMaxDisplays];
    int count = PortalCaptureStreams(m->portal, streams, kMaxDisplays);
    DisplayRect rects[kMaxDisplays];
    uint64_t ids[kMaxDisplays];
    for (int i = 0; i < count; i++) {
        const PortalStream &s = streams[i];
        rects[i] = DisplayRect{s.x, s.y, s.x + s.width, s.y + s.height};
        ids[i] = s.node;
    }
    PublishPortalDisplays(rects, ids, count);
    if (m->onDisplaysChanged) m->onDisplaysChanged(m);
}

void CaptureThreadMain(void *arg) {
    CaptureManager *m = static_cast<CaptureManager *>(arg);
    m->captureRect = CaptureRect{};
    m->backend = ChooseCaptureBackend();
    m->session = m->backend == CaptureBackendX11 ? CaptureSessionOpen() : nullptr;
    m->portal = nullptr;
    m->method = CurrentMethod(m);
    m->encodeResult.store(0);
    m->windowMode.store(m->window.load() != 0);
    m->builtPicture[0] = m->builtPicture[1] = 0;
    m->lostLogged = 0;
    m->contentAgeNanos = 0;
    m->buffersFailed = 0;
    if (m->backend == CaptureBackendX11 && !m->session) {
        // No window system: nothing to capture.
        FailRun(m, getenv("DISPLAY") && *getenv("DISPLAY")
                       ? "the X display could not be opened"
                       : "no display server (neither DISPLAY nor WAYLAND_DISPLAY is set)");
    }
    EventSet(m->startedEvent);
    if (m->backend == CaptureBackendPortal && m->running.load()) {
        DebugLog(2, "Capture: method %i (ScreenCast portal)\n", CaptureMethodPortal);
        OpenPortal(m);
    }
    int64_t last = MonotonicNanos(); // start of the last iteration that did not wait
    int64_t lastCapture = last;
    int ssse3 = ProbeCpuFeatures();
    DebugLog(2, "Is using SSSE3: %i\n", ssse3);
    ChangeWatch watch{};
    watch.tracks = CaptureSessionTracksChanges(m->session);

    while (m->running.load()) {
        double elapsed = (MonotonicNanos() - last) / 1e9;
        int32_t sleepMs = CapturePacingSleepMs(m->maxFps.load(), elapsed);
        if (sleepMs > 0) SleepMillis(sleepMs);
        int64_t t0 = MonotonicNanos();
        last = t0;

        WindowHandle window = m->window.load();
        int32_t displayIndex = m->displayIndex.load();
        if (m->method == CaptureMethodPortal) {
            std::string reason;
            if (!PortalCapturePoll(m->portal, &reason)) {
                FailRun(m, ("screen-cast portal: " + reason).c_str());
                break;
            }
            // The stream is the chosen monitor or window: it is mirrored as a display.
            window = 0;
        }
        int32_t method = CurrentMethod(m);
        bool methodChanged = method != m->method;
        if (methodChanged) {
            DebugLog(1, "Changed Capture Method from: %i to %i\n", m->method, method);
            m->method = method;
        }
        m->windowMode.store(window != 0);
        int sizeChanged = UpdateCaptureRect(m, window, displayIndex);
        if (CheckLostTarget(m, window)) continue;
        if (methodChanged || sizeChanged) m->relayout.store(1);
        bool relaidOut = false;
        if (m->relayout.load() || m->overscanChanged.load() || m->rebuildEncoder.load() ||
            m->encodeResult.load()) {
            if (!Relayout(m, ssse3)) continue;
            relaidOut = true;
        }
        if (!m->buffers) continue;
        // The link is behind: this picture is not taken at all, so nothing encoded is dropped.
        if (m->holdPictures.load()) continue;
        if (m->method == CaptureMethodPortal || watch.tracks) {
            if (m->method != CaptureMethodPortal) CaptureSessionFollowWindow(m->session, window);
            if (!ScreenChanged(m, &watch, relaidOut, t0 - lastCapture)) {
                WaitForChange(m, t0 - lastCapture);
                // Paced from the last capture: a change after a still period is taken
                // at once.
                last = lastCapture;
                continue;
            }
        }
        // A change that ended a still period is captured at once; one that came while the
        // capture waited out its frame interval came, on average, half way through it.
        m->contentAgeNanos = sleepMs > 0 ? (t0 - lastCapture) / 2 : 0;
        lastCapture = t0;
        if (m->method == CaptureMethodPortal)
            CapturePortalFrame(m);
        else
            CaptureOneFrame(m, window, displayIndex, &watch);
        CaptureBuffersAddCaptureTime(m->buffers, (MonotonicNanos() - t0) / 1e9);
    }

    DestroyBuffers(m);
    DebugLog(2, "About to Destroy Capture Encoder!\n");
    CloseFrameEncoder(m->encoder);
    m->encoder = nullptr;
    DebugLog(2, "Closed Capture Encoder!\n");
    kFrontBufferCaptureOps.destroy(m->frontBufferCapture);
    m->frontBufferCapture = nullptr;
    DebugLog(2, "Closed d39 Capture!\n");
    kWindowCaptureOps.destroy(m->windowCapture);
    m->windowCapture = nullptr;
    CaptureSessionClose(m->session);
    m->session = nullptr;
    PortalCaptureClose(m->portal);
    m->portal = nullptr;
    EventSet(m->stoppedEvent);
    DebugLog(2, "Capture Thread is exiting...\n");
}

void JoinThread(CaptureManager *m) {
    if (ThreadIsStarted(&m->thread) && !ThreadIsCurrent(&m->thread)) ThreadJoin(&m->thread);
}

bool OnCaptureThread(const CaptureManager *m) {
    return ThreadIsCurrent(&m->thread);
}

} // namespace

CaptureManager *CaptureManagerCreate(double overscan, int qualitySetting, int showCursor,
                                     int force720p, double maxFps) {
    CaptureManager *m = new (std::nothrow) CaptureManager();
    if (!m) return nullptr;
    m->overscan.store(overscan);
    m->quality.store(qualitySetting + 2);
    m->encoderLevel = 1;
    m->showCursor.store(showCursor);
    m->force720p.store(force720p);
    m->maxFps.store(maxFps);
    m->methodOverride.store(-1);
    m->startedEvent = EventCreate(true, false);
    m->stoppedEvent = EventCreate(true, false);
    if (!m->startedEvent || !m->stoppedEvent) {
        if (m->startedEvent) EventClose(m->startedEvent);
        if (m->stoppedEvent) EventClose(m->stoppedEvent);
        delete m;
        return nullptr;
    }
    return m;
}

void CaptureManagerDestroy(CaptureManager *manager) {
    if (!manager) return;
    CaptureVideoStop(manager);
    JoinThread(manager); // a run that ended by itself
    EventClose(manager->startedEvent);
    EventClose(manager->stoppedEvent);
    delete manager;
}

void CaptureVideoStart(CaptureManager *manager, void *connection, int displayIndex,
                       WindowHandle window) {
    if (!manager || manager->running.load() == 1) return;
    // A run that ended by itself (no encoder) left its thread to be joined here.
    JoinThread(manager);
    manager->connection = connection;
    manager->displayIndex.store(displayIndex);
    manager->window.store(window);
    manager->buffers = nullptr;
    manager->running.store(1);
    CaptureUpdateOutputSize(manager);
    EventReset(manager->startedEvent);
    if (!ThreadStart(&manager->thread, "Capture Thread", CaptureThreadMain, manager)) {
        manager->running.store(0);
        DebugLog(2, "Failed to create the capture thread\n");
        return;
    }
    (void)EventWait(manager->startedEvent, 500);
    DebugLog(2, "Video capture has started\n");
}

void CaptureVideoStop(CaptureManager *manager) {
    if (!manager) return;
    if (manager->running.load() == 0) {
        // A run that ended by itself (capture failed) may still be winding down; once this
        // returns no frame of it reaches the connection.
        JoinThread(manager);
        return;
    }
    if (OnCaptureThread(manager)) {
        // Joining itself would never return; the loop ends on its own once running is 0.
        manager->running.store(0);
        return;
    }
    DebugLog(2, "Attempting to Stop video capture\n");
    EventReset(manager->stoppedEvent);
    manager->running.store(0);
    {
        std::lock_guard<std::mutex> hold(manager->buffersLock);
        if (manager->buffers) CaptureBuffersStop(manager->buffers);
    }
    JoinThread(manager);
    if (manager->onStatusText) manager->onStatusText(manager->statusContext, "");
    DebugLog(2, "Video capture has stopped\n");
}

void CaptureSetOverscan(CaptureManager *manager, double value) {
    if (!manager) return;
    double old = manager->overscan.load();
    if (value == old) return;
    DebugLog(2, "Changing overscan from: %f to %f\n", old, value);
    manager->overscan.store(value);
    manager->overscanChanged.store(1);
}

void CaptureUpdateOutputSize(CaptureManager *manager) {
    if (!manager) return;
    int32_t w = 0, h = 0;
    WindowHandle window = manager->window.load();
    if (window) {
        CaptureWindowSize(window, &w, &h);
    } else {
        const DisplayList *list = ProcessDisplayList();
        int index = manager->displayIndex.load();
        if (index >= 0 && index < list->count) {
            w = list->rects[index].right - list->rects[index].left;
            h = list->rects[index].bottom - list->rects[index].top;
        }
    }
    float outW, outH, factor;
    ComputeOutputSize(w, h, manager->targetSize[0].load(), manager->targetSize[1].load(),
                      manager->overscan.load(), &outW, &outH, &factor);
    manager->outputSize[0].store(outW);
    manager->outputSize[1].store(outH);
    manager->scaleFactor.store(factor);
}

void CaptureSetReceiverSize(CaptureManager *manager, int reportedWidth, int reportedHeight) {
    if (!manager) return;
    float w = 1280, h = 720;
    if (reportedWidth == 1920 || reportedWidth == 1280) {
        w = (float)reportedWidth;
        h = (float)reportedHeight;
    }
    manager->receiverSize[0].store(w);
    manager->receiverSize[1].store(h);
    bool force = manager->force720p.load() != 0;
    manager->targetSize[0].store(force ? 1280.0f : w);
    manager->targetSize[1].store(force ? 720.0f : h);
}

void CapturePictureSize(const CaptureManager *manager, float *width, float *height) {
    bool windowMode = manager->windowMode.load() != 0;
    *width = windowMode ? manager->targetSize[0].load() : manager->outputSize[0].load();
    *height = windowMode ? manager->targetSize[1].load() : manager->outputSize[1].load();
}

void ComputeOutputSize(int32_t width, int32_t height, float targetWidth, float targetHeight,
                       double overscan, float *outWidth, float *outHeight, float *factor) {
    if (width <= 0 || height <= 0) {
        *outWidth = *outHeight = *factor = 0;
        return;
    }
    float sx = targetWidth / (float)width;
    float sy = targetHeight / (float)height;
    float f = sx > sy ? sy : sx;
    float scaledW = (float)width * f;
    float scaledH = (float)height * f;
    double keep = 1.0 - overscan;
    int64_t w = (int64_t)std::trunc((double)scaledW * keep);
    int64_t h = (int64_t)std::trunc((double)scaledH * keep);
    w = w < 0 ? 0 : w - w % 4;
    h = h < 0 ? 0 : h - h % 4;
    *outWidth = (float)w;
    *outHeight = (float)h;
    *factor = f;
    DebugLog(1, "Just resized the screen width: %f height: %f scale factor: %f scr {%i, %i}\n",
             (double)w, (double)h, (double)f, width, height);
}

int32_t CapturePacingSleepMs(double maxFps, double elapsedSeconds) {
    if (!(maxFps >= 1.0)) maxFps = 1.0; // also catches NaN
    if (maxFps > 240.0) maxFps = 240.0;
    double interval = 1.0 / maxFps;
    if (elapsedSeconds >= interval) return 0;
    return (int32_t)((interval - elapsedSeconds) * 1000.0);
}
