#include "shell/capture_link.h"

#include <cmath>

#include "capture/capture_manager.h"

namespace {

CaptureManager *Manager(void *context) {
    return static_cast<CaptureManager *>(context);
}

void Start(void *context, MirroringConnection *connection, int displayIndex, uintptr_t window) {
    CaptureVideoStart(Manager(context), connection, displayIndex, (WindowHandle)window);
}

void Stop(void *context) {
    CaptureVideoStop(Manager(context));
}

int Force720p(void *context) {
    return Manager(context)->force720p.load() != 0;
}

void SetStreamSizes(void *context, int receiverWidth, int receiverHeight, int targetWidth,
                    int targetHeight) {
    CaptureManager *m = Manager(context);
    m->receiverSize[0].store((float)receiverWidth);
    m->receiverSize[1].store((float)receiverHeight);
    m->targetSize[0].store((float)targetWidth);
    m->targetSize[1].store((float)targetHeight);
}

// The receiver's overscan arrives as a float (0.1f is 0.100000001...); held to whole
// hundredths like the setting, so the same underscan gives the same picture size.
void SetOverscan(void *context, float overscan) {
    CaptureSetOverscan(Manager(context), std::round((double)overscan * 100.0) / 100.0);
}

void ReadGeometry(void *context, StreamGeometryInputs *out) {
    CaptureManager *m = Manager(context);
    float w, h;
    CapturePictureSize(m, &w, &h);
    out->pictureWidth = (int)w;
    out->pictureHeight = (int)h;
    out->targetWidth = (int)m->targetSize[0].load();
    out->targetHeight = (int)m->targetSize[1].load();
    out->receiverWidth = (int)m->receiverSize[0].load();
    out->receiverHeight = (int)m->receiverSize[1].load();
}

void SetSendLimits(void *context, int hold, int maxKbps) {
    CaptureManager *m = Manager(context);
    m->holdPictures.store(hold);
    m->linkMaxKbps.store(maxKbps);
}

void RequestKeyFrame(void *context) {
    Manager(context)->keyFrameWanted.store(1);
}

} // namespace

const MirroringCaptureOps kCaptureManagerOps = {
    .start = Start,
    .stop = Stop,
    .force720p = Force720p,
    .setStreamSizes = SetStreamSizes,
    .setOverscan = SetOverscan,
    .readGeometry = ReadGeometry,
    .setSendLimits = SetSendLimits,
    .requestKeyFrame = RequestKeyFrame,
};
