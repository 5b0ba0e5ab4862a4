// The double-buffered capture -> scale -> encode pipeline.
#include "video/capture_buffers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/ipc.h>
#include <sys/shm.h>

#include "base/clock.h"
#include "base/event.h"
#include "base/log.h"
#include "base/thread.h"
#include "video/frame_encoder.h"
#include "video/scale_convert.h"

namespace {

// Larger captures than this are refused rather than overflowing the slot arithmetic.
constexpr int kMaxDimension = 16384;
constexpr int kWaitStepMs = 100;
constexpr int kStatusEvery = 20;

struct PairView {
    int32_t *state;
    Event *hasSpace;
    Event *ready;
};

PairView ViewOf(CaptureBuffers *buffers, int pair) {
    if (pair == CapturePair) {
        return PairView{buffers->captureState, buffers->captureHasSpace, buffers->captureReady};
    }
    return PairView{buffers->pictureState, buffers->pictureHasSpace, buffers->pictureReady};
}

// Takes a slot in state from, marks it to, and resets wake when none in from remains.
int Take(CaptureBuffers *buffers, int pair, int32_t from, int32_t to, bool waitForSpace) {
    PairView view = ViewOf(buffers, pair);
    Event *wake = waitForSpace ? view.hasSpace : view.ready;
    for (;;) {
        if (buffers->running.load() == 0) return -1;
        if (EventWait(wake, kWaitStepMs) == 0) continue;
        if (buffers->running.load() == 0) return -1;
        std::lock_guard<std::mutex> hold(buffers->slotLock);
        // Free slots are interchangeable; ready ones hold frames, the oldest goes first.
        int slot = -1;
        for (int i = 0; i < 2; i++) {
            if (view.state[i] != from) continue;
            if (slot < 0 ||
                (!waitForSpace && buffers->readyOrder[pair][i] < buffers->readyOrder[pair][slot])) {
                slot = i;
            }
        }
        if (slot >= 0) view.state[slot] = to;
        // The capture thread reads the screen as soon as it has its slot.
        if (slot >= 0 && pair == CapturePair && waitForSpace) {
            buffers->slotCaptureNanos[slot] = MonotonicNanos();
            buffers->slotChangeKnown[slot] = 0;
        }
        if (view.state[0] != from && view.state[1] != from) EventReset(wake);
        if (slot >= 0) return slot;
    }
}

// Returns a slot taken for filling to free without handing it on (the pipeline is stopping).
void Abandon(CaptureBuffers *buffers, int pair, int slot) {
    PairView view = ViewOf(buffers, pair);
    std::lock_guard<std::mutex> hold(buffers->slotLock);
    view.state[slot] = SlotFree;
    EventSet(view.hasSpace);
}

struct LentPicture {
    uint64_t token;
    const CaptureLenderOps *lender;
    void *context;
};

// Takes the picture lent to a capture slot out of it; the caller releases it.
LentPicture TakeLent(CaptureBuffers *buffers, int slot) {
    std::lock_guard<std::mutex> hold(buffers->slotLock);
    LentPicture lent{buffers->slotLentToken[slot], buffers->slotLender[slot],
                     buffers->slotLenderContext[slot]};
    buffers->slotLentToken[slot] = 0;
    return lent;
}

void ReleaseLent(const LentPicture &lent) {
    if (lent.token) lent.lender->release(lent.context, lent.token);
}

void AddSeconds(std::atomic<double> *total, double seconds) {
    total->store(total->load(std::memory_order_relaxed) + seconds, std::memory_order_relaxed);
}

// Where each picture slot may differ from the newest picture, so that a slot can be
// brought up to date by copying just that before a change is converted into it. Scale
// thread only: it is the only writer of picture slots, and the encoder only reads them.
struct PictureCurrency {
    int32_t newest;    // slot of the newest picture; -1 before the first
    PixelArea lag[2]; // bounds of what changed since the slot was last written
};

bool AreaInside(const PixelArea &inner, const PixelArea &outer) {
    return PixelAreaIsEmpty(inner) || (inner.left >= outer.left && inner.top >= outer.top &&
                                inner.right <= outer.right && inner.bottom <= outer.bottom);
}

// Copies area (even bounds) of the I420 picture from into to.
void CopyPictureArea(uint8_t *const from[3], uint8_t *const to[3], int width, int height,
                     PixelArea area) {
    if (area.right > width) area.right = width;
    if (area.bottom > height) area.bottom = height;
    if (PixelAreaIsEmpty(area)) return;
    for (int row = area.top; row < area.bottom; row++) {
        size_t at = static_cast<size_t>(row) * width + area.left;
        memcpy(to[0] + at, from[0] + at, static_cast<size_t>(area.right - area.left));
    }
    int chromaWidth = width / 2;
    int chromaRight = area.right / 2 < chromaWidth ? area.right / 2 : chromaWidth;
    int chromaBottom = area.bottom / 2 < height / 2 ? area.bottom / 2 : height / 2;
    for (int row = area.top / 2; row < chromaBottom; row++) {
        size_t at = static_cast<size_t>(row) * chromaWidth + area.left / 2;
        if (chromaRight <= area.left / 2) break;
        memcpy(to[1] + at, from[1] + at, static_cast<size_t>(chromaRight - area.left / 2));
        memcpy(to[2] + at, from[2] + at, static_cast<size_t>(chromaRight - area.left / 2));
    }
}

void ScaleThreadMain(void *arg) {
    CaptureBuffers *buffers = static_cast<CaptureBuffers *>(arg);
    uint8_t *scratch = nullptr;
    int width = buffers->pictureWidth;
    int height = buffers->pictureHeight;
    if (!buffers->ssse3) {
        scratch = static_cast<uint8_t *>(malloc(static_cast<size_t>(width) * height * 4));
        if (scratch == nullptr) {
            DebugLog(2, "Scale thread: no memory for a %ix%i scratch picture\n", width, height);
        }
    }
    const PixelArea whole{0, 0, width, height};
    PictureCurrency currency{-1, {whole, whole}};
    while (buffers->running.load()) {
        int c = CaptureBuffersTakeForReading(buffers, CapturePair);
        if (c < 0) break;
        int p = CaptureBuffersTakeForFilling(buffers, PicturePair);
        LentPicture lent = TakeLent(buffers, c);
        if (p < 0 || !buffers->running.load()) {
            ReleaseLent(lent);
            CaptureBuffersGiveBack(buffers, CapturePair, c);
            if (p >= 0) Abandon(buffers, PicturePair, p);
            break;
        }
        double t0 = MonotonicSeconds();
        const uint8_t *source = buffers->captureSlots[c];
        if (lent.token) source = lent.lender->beginRead(lent.context, lent.token);
        if (source == nullptr) {
            // The lender took its picture back (its buffers changed): nothing to show.
            ReleaseLent(lent);
            CaptureBuffersGiveBack(buffers, CapturePair, c);
            Abandon(buffers, PicturePair, p);
            continue;
        }
        int bottomUp, redFirst;
        bool partial;
        PixelArea change;
        {
            std::lock_guard<std::mutex> hold(buffers->slotLock);
            bottomUp = buffers->slotBottomUp[c];
            redFirst = buffers->slotRedFirst[c];
            buffers->slotPictureNanos[p] = buffers->slotCaptureNanos[c];
            partial = buffers->slotChangeKnown[c] != 0;
            change = buffers->slotChange[c];
        }
        // A change is redone alone on top of the newest picture: the slot first catches up
        // with it where it lags (nothing when it holds the newest picture itself).
        partial = partial && buffers->ssse3 && !lent.token && !bottomUp && currency.newest >= 0;
        if (partial && !AreaInside(currency.lag[p], change)) {
            CopyPictureArea(buffers->pictureSlots[currency.newest], buffers->pictureSlots[p],
                            width, height, currency.lag[p]);
        }
        if (partial) {
            ScaleConvertSsse3Area(source, buffers->captureWidth, buffers->captureHeight,
                                  buffers->pictureSlots[p], width, height, bottomUp, redFirst,
                                  &change);
        } else if (buffers->ssse3) {
            ScaleConvertSsse3(source, buffers->captureWidth, buffers->captureHeight,
                              buffers->pictureSlots[p], width, height, bottomUp, redFirst);
        } else if (scratch != nullptr) {
            StretchBgrxBilinear(source, buffers->captureWidth, buffers->captureHeight, bottomUp,
                                scratch, width, height, redFirst);
            ConvertBgrxToI420(scratch, width, height, buffers->pictureSlots[p]);
        }
        currency.lag[p] = PixelArea{0, 0, 0, 0};
        currency.lag[1 - p] = partial ? PixelAreaUnion(currency.lag[1 - p], change) : whole;
        currency.newest = p;
        ReleaseLent(lent);
        buffers->scaleCount.fetch_add(1, std::memory_order_relaxed);
        AddSeconds(&buffers->scaleSeconds, MonotonicSeconds() - t0);
        CaptureBuffersGiveBack(buffers, CapturePair, c);
        CaptureBuffersGiveBack(buffers, PicturePair, p);
    }
    free(scratch);
}

void EncodeThreadMain(void *arg) {
    CaptureBuffers *buffers = static_cast<CaptureBuffers *>(arg);
    const CaptureBuffersOwnerOps *ops = buffers->ownerOps;
    void *owner = buffers->owner;
    while (buffers->running.load()) {
        int p = CaptureBuffersTakeForReading(buffers, PicturePair);
        if (p < 0) break;
        if (!buffers->running.load()) {
            CaptureBuffersGiveBack(buffers, PicturePair, p);
            break;
        }
        double t0 = MonotonicSeconds();
        FrameEncoder *encoder = ops->encoder(owner);
        if (encoder != nullptr) {
            {
                std::lock_guard<std::mutex> hold(buffers->slotLock);
                encoder->captureNanos = buffers->slotPictureNanos[p];
            }
            int result =
                encoder->encode(encoder, buffers->pictureSlots[p], 0, ops->connection(owner));
            encoder->framesEncoded++;
            ops->setEncodeResult(owner, result);
        }
        int count = buffers->encodeCount.fetch_add(1, std::memory_order_relaxed) + 1;
        AddSeconds(&buffers->encodeSeconds, MonotonicSeconds() - t0);
        if (count % kStatusEvery == 0) {
            FormatPipelineStatus(buffers->statusText, kStatusTextSize, ops->maxFps(owner),
                                 buffers->captureCount.load(), buffers->captureSeconds.load(),
                                 buffers->scaleCount.load(), buffers->scaleSeconds.load(), count,
                                 buffers->encodeSeconds.load());
            ops->onStatusText(owner, buffers->statusText);
            buffers->captureSeconds.store(0);
            buffers->scaleSeconds.store(0);
            buffers->encodeSeconds.store(0);
            buffers->captureCount.store(0);
            buffers->scaleCount.store(0);
            buffers->encodeCount.store(0);
        }
        CaptureBuffersGiveBack(buffers, PicturePair, p);
    }
}

// A zeroed capture slot in a shared-memory segment, or in plain memory when the system
// has none to give (*shmId -1).
uint8_t *AllocateCaptureSlot(size_t bytes, int32_t *shmId) {
    *shmId = -1;
    int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id >= 0) {
        void *address = shmat(id, nullptr, 0);
        // Removed once the last attachment goes, whoever holds it.
        shmctl(id, IPC_RMID, nullptr);
        if (address != reinterpret_cast<void *>(-1)) {
            *shmId = id;
            return static_cast<uint8_t *>(address);
        }
    }
    return static_cast<uint8_t *>(calloc(bytes, 1));
}

void FreeCaptureSlot(uint8_t *slot, int32_t shmId) {
    if (slot == nullptr) return;
    if (shmId >= 0) {
        shmdt(slot);
    } else {
        free(slot);
    }
}

bool OwnerOpsComplete(const CaptureBuffersOwnerOps *ops) {
    return ops != nullptr && ops->encoder != nullptr && ops->connection != nullptr &&
           ops->maxFps != nullptr && ops->setEncodeResult != nullptr &&
           ops->onStatusText != nullptr;
}

// Frees memory and events; the threads must not be running.
void FreeBuffers(CaptureBuffers *buffers) {
    for (int i = 0; i < 2; i++) {
        FreeCaptureSlot(buffers->captureSlots[i], buffers->captureShmIds[i]);
        for (int plane = 0; plane < 3; plane++)
            free(buffers->pictureSlots[i][plane]);
    }
    Event *events[4] = {buffers->captureHasSpace, buffers->captureReady, buffers->pictureHasSpace,
                        buffers->pictureReady};
    for (Event *event : events) {
        if (event != nullptr) EventClose(event);
    }
    delete buffers;
}

} // namespace

int FormatPipelineStatus(char *out, int size, double maxFps, int captureCount,
                         double captureSeconds, int scaleCount, double scaleSeconds,
                         int encodeCount, double encodeSeconds) {
    auto rate = [](int count, double seconds) { return seconds > 0.0 ? count / seconds : 0.0; };
    int length =
        snprintf(out, static_cast<size_t>(size), "FPS-tgt: %0.0f cap:%0.1f scl:%0.1f enc:%0.1f",
                 maxFps, rate(captureCount, captureSeconds), rate(scaleCount, scaleSeconds),
                 rate(encodeCount, encodeSeconds));
    if (length >= size) length = size - 1;
    return length;
}

CaptureBuffers *CaptureBuffersCreate(int captureWidth, int captureHeight, int pictureWidth,
                                     int pictureHeight, int ssse3,
                                     const CaptureBuffersOwnerOps *ownerOps, void *owner) {
    if (captureWidth <= 0 || captureHeight <= 0 || pictureWidth <= 0 || pictureHeight <= 0 ||
        captureWidth > kMaxDimension || captureHeight > kMaxDimension ||
        pictureWidth > kMaxDimension || pictureHeight > kMaxDimension) {
        DebugLog(2, "CaptureBuffers: refusing capture %ix%i picture %ix%i\n", captureWidth,
                 captureHeight, pictureWidth, pictureHeight);
        return nullptr;
    }
    if (!OwnerOpsComplete(ownerOps)) {
        DebugLog(2, "CaptureBuffers: owner operations missing\n");
        return nullptr;
    }
    auto *buffers = new (std::nothrow) CaptureBuffers();
    if (buffers == nullptr) return nullptr;
    buffers->slotBottomUp[0] = buffers->slotBottomUp[1] = 1;
    buffers->captureShmIds[0] = buffers->captureShmIds[1] = -1;
    buffers->ssse3 = ssse3 ? 1 : 0;
    buffers->running.store(1);
    buffers->bottomUp.store(1);
    buffers->counterFrequency = 1000000000; // the monotonic clock counts nanoseconds
    buffers->captureWidth = captureWidth;
    buffers->captureHeight = captureHeight;
    buffers->pictureWidth = pictureWidth;
    buffers->pictureHeight = pictureHeight;
    buffers->ownerOps = ownerOps;
    buffers->owner = owner;

    size_t captureBytes = static_cast<size_t>(captureWidth) * captureHeight * 4;
    size_t lumaBytes = static_cast<size_t>(pictureWidth) * pictureHeight;
    size_t chromaBytes = static_cast<size_t>(pictureWidth / 2) * (pictureHeight / 2);
    bool ok = true;
    for (int i = 0; i < 2; i++) {
        DebugLog(1, "Creating Capture Buffer of Size: %i w: %i h: %i!\n",
                 static_cast<int>(captureBytes), captureWidth, captureHeight);
        buffers->captureSlots[i] = AllocateCaptureSlot(captureBytes, &buffers->captureShmIds[i]);
        buffers->pictureSlots[i][0] = static_cast<uint8_t *>(calloc(lumaBytes, 1));
        // A picture one pixel wide or high has no chroma; keep a valid pointer anyway.
        buffers->pictureSlots[i][1] = static_cast<uint8_t *>(calloc(chromaBytes + 1, 1));
        buffers->pictureSlots[i][2] = static_cast<uint8_t *>(calloc(chromaBytes + 1, 1));
        ok = ok && buffers->captureSlots[i] != nullptr && buffers->pictureSlots[i][0] != nullptr &&
             buffers->pictureSlots[i][1] != nullptr && buffers->pictureSlots[i][2] != nullptr;
        buffers->pictureStrides[i][0] = pictureWidth;
        buffers->pictureStrides[i][1] = pictureWidth / 2;
        buffers->pictureStrides[i][2] = pictureWidth / 2;
    }
    buffers->captureHasSpace = EventCreate(true, true);
    buffers->captureReady = EventCreate(true, false);
    buffers->pictureHasSpace = EventCreate(true, true);
    buffers->pictureReady = EventCreate(true, false);
    ok = ok && buffers->captureHasSpace != nullptr && buffers->captureReady != nullptr &&
         buffers->pictureHasSpace != nullptr && buffers->pictureReady != nullptr;
    if (!ok) {
        DebugLog(2, "CaptureBuffers: out of memory or events for capture %ix%i picture %ix%i\n",
                 captureWidth, captureHeight, pictureWidth, pictureHeight);
        FreeBuffers(buffers);
        return nullptr;
    }
    if (!ThreadStart(&buffers->scaleThread, "Scale Thread", ScaleThreadMain, buffers) ||
        !ThreadStart(&buffers->encodeThread, "Encode Thread", EncodeThreadMain, buffers)) {
        DebugLog(2, "CaptureBuffers: could not start the pipeline threads\n");
        CaptureBuffersDestroy(buffers);
        return nullptr;
    }
    return buffers;
}

void CaptureBuffersStop(CaptureBuffers *buffers) {
    if (buffers != nullptr) buffers->running.store(0);
}

void CaptureBuffersDestroy(CaptureBuffers *buffers) {
    if (buffers == nullptr) return;
    buffers->running.store(0);
    EventSet(buffers->pictureReady);
    EventSet(buffers->captureReady);
    {
        // A consumer that wakes takes slot 1, sees running 0 and leaves.
        std::lock_guard<std::mutex> hold(buffers->slotLock);
        buffers->captureState[0] = SlotFree;
        buffers->captureState[1] = SlotReady;
        buffers->pictureState[0] = SlotFree;
        buffers->pictureState[1] = SlotReady;
    }
    ThreadJoin(&buffers->scaleThread);
    ThreadJoin(&buffers->encodeThread);
    // Pictures lent and never read.
    for (int slot = 0; slot < 2; slot++)
        ReleaseLent(TakeLent(buffers, slot));
    FreeBuffers(buffers);
}

int CaptureBuffersTakeForFilling(CaptureBuffers *buffers, int pair) {
    if (pair != CapturePair && pair != PicturePair) return -1;
    return Take(buffers, pair, SlotFree, SlotFilling, true);
}

int CaptureBuffersTakeForReading(CaptureBuffers *buffers, int pair) {
    if (pair != CapturePair && pair != PicturePair) return -1;
    return Take(buffers, pair, SlotReady, SlotReading, false);
}

void CaptureBuffersGiveBack(CaptureBuffers *buffers, int pair, int slot) {
    if (slot < 0 || slot > 1 || (pair != CapturePair && pair != PicturePair)) return;
    PairView view = ViewOf(buffers, pair);
    std::lock_guard<std::mutex> hold(buffers->slotLock);
    if (view.state[slot] == SlotReading) {
        view.state[slot] = SlotFree;
        EventSet(view.hasSpace);
    } else if (view.state[slot] == SlotFilling) {
        // A frame keeps the row order it was captured with.
        if (pair == CapturePair) {
            buffers->slotBottomUp[slot] = buffers->bottomUp.load();
            buffers->slotRedFirst[slot] = buffers->redFirst.load();
        }
        view.state[slot] = SlotReady;
        buffers->readyOrder[pair][slot] = ++buffers->readyCounter[pair];
        EventSet(view.ready);
    }
}

void CaptureBuffersLend(CaptureBuffers *buffers, int slot, const CaptureLenderOps *lender,
                        void *context, uint64_t token) {
    if (slot < 0 || slot > 1) return;
    std::lock_guard<std::mutex> hold(buffers->slotLock);
    buffers->slotLentToken[slot] = token;
    buffers->slotLender[slot] = lender;
    buffers->slotLenderContext[slot] = context;
}

void CaptureBuffersSetContentAge(CaptureBuffers *buffers, int slot, int64_t nanos) {
    if (slot < 0 || slot > 1 || nanos <= 0) return;
    std::lock_guard<std::mutex> hold(buffers->slotLock);
    buffers->slotCaptureNanos[slot] -= nanos;
}

void CaptureBuffersSetChange(CaptureBuffers *buffers, int slot, PixelArea changed,
                             int32_t *first, int32_t *end) {
    *first = 0;
    *end = buffers->captureHeight;
    // The portable path converts whole pictures only.
    if (slot < 0 || slot > 1 || !buffers->ssse3) return;
    PixelArea area = PictureAreaOfChange(buffers->captureWidth, buffers->captureHeight,
                                         buffers->pictureWidth, buffers->pictureHeight, changed);
    SourceRowsOfPictureArea(buffers->captureWidth, buffers->captureHeight, buffers->pictureWidth,
                            buffers->pictureHeight, area, first, end);
    std::lock_guard<std::mutex> hold(buffers->slotLock);
    buffers->slotChangeKnown[slot] = 1;
    buffers->slotChange[slot] = area;
}

void CaptureBuffersAddCaptureTime(CaptureBuffers *buffers, double seconds) {
    buffers->captureCount.fetch_add(1, std::memory_order_relaxed);
    AddSeconds(&buffers->captureSeconds, seconds);
}
