#include "fake_capture.h"

#include <cstring>
#include <vector>

#include "base/clock.h"
#include "video/frame_encoder.h"

static void Produce(FakeCapture *fake, MirroringConnection *connection) {
    int width, height;
    {
        std::lock_guard<std::mutex> hold(fake->lock);
        width = fake->targetWidth > 0 ? fake->targetWidth : 1280;
        height = fake->targetHeight > 0 ? fake->targetHeight : 720;
    }
    FrameEncoder *encoder = nullptr;
    // Quality 4: the default Video Quality position.
    if (!SelectFrameEncoder(&encoder, 1, (float)width, (float)height, 4)) return;
    std::vector<uint8_t> y((size_t)width * height), u((size_t)width * height / 4),
        v((size_t)width * height / 4);
    int period = 1000 / (fake->framesPerSecond > 0 ? fake->framesPerSecond : 30);
    for (int n = 0; fake->running.load(); n++) {
        if (fake->hold.load()) {
            SleepMillis(period);
            continue;
        }
        encoder->linkMaxKbps = fake->maxKbps.load();
        if (fake->keyFramePending.exchange(0)) encoder->keyFrameWanted = 1;
        // A bar that moves one step per picture over a gradient.
        for (int row = 0; row < height; row++)
            for (int col = 0; col < width; col++)
                y[(size_t)row * width + col] =
                    (uint8_t)((col / 8 + n * 4) % 64 < 8 ? 235 : 16 + (row * 200) / height);
        memset(u.data(), 128 + (n % 32), u.size());
        memset(v.data(), 128, v.size());
        uint8_t *planes[3] = {y.data(), u.data(), v.data()};
        if (encoder->encode(encoder, planes, 0, connection) == EncoderResultOk)
            fake->picturesEncoded++;
        SleepMillis(period);
    }
    CloseFrameEncoder(encoder);
}

static void Start(void *context, MirroringConnection *connection, int, uintptr_t) {
    FakeCapture *fake = (FakeCapture *)context;
    fake->starts++;
    if (!fake->produce) return;
    fake->running = true;
    fake->producer = std::thread(Produce, fake, connection);
}

static void Stop(void *context) {
    FakeCapture *fake = (FakeCapture *)context;
    fake->stops++;
    fake->running = false;
    if (fake->producer.joinable()) fake->producer.join();
}

static int Force720p(void *context) { return ((FakeCapture *)context)->force720p; }

static void SetStreamSizes(void *context, int rw, int rh, int tw, int th) {
    FakeCapture *fake = (FakeCapture *)context;
    std::lock_guard<std::mutex> hold(fake->lock);
    fake->receiverWidth = rw;
    fake->receiverHeight = rh;
    fake->targetWidth = tw;
    fake->targetHeight = th;
    fake->sizeCalls++;
}

static void SetOverscan(void *context, float overscan) {
    FakeCapture *fake = (FakeCapture *)context;
    std::lock_guard<std::mutex> hold(fake->lock);
    fake->overscan = overscan;
}

static void ReadGeometry(void *context, StreamGeometryInputs *out) {
    FakeCapture *fake = (FakeCapture *)context;
    std::lock_guard<std::mutex> hold(fake->lock);
    *out = {fake->targetWidth, fake->targetHeight, fake->targetWidth,
            fake->targetHeight, fake->receiverWidth, fake->receiverHeight};
    if (fake->reportedPictureWidth > 0) {
        out->pictureWidth = fake->reportedPictureWidth;
        out->pictureHeight = fake->reportedPictureHeight;
    }
}

static void SetSendLimits(void *context, int hold, int maxKbps) {
    FakeCapture *fake = (FakeCapture *)context;
    fake->hold = hold;
    fake->maxKbps = maxKbps;
}

static void RequestKeyFrame(void *context) {
    FakeCapture *fake = (FakeCapture *)context;
    fake->keyFrameRequests++;
    fake->keyFramePending = 1;
}

const MirroringCaptureOps kFakeCaptureOps = {
    .start = Start,
    .stop = Stop,
    .force720p = Force720p,
    .setStreamSizes = SetStreamSizes,
    .setOverscan = SetOverscan,
    .readGeometry = ReadGeometry,
    .setSendLimits = SetSendLimits,
    .requestKeyFrame = RequestKeyFrame,
};

void FakeCaptureInstallFrameHandler() { SetEncodedFrameHandler(EnqueueVideoFrame); }
