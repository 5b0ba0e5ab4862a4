// The receiver's answer to GET /stream.xml, as any bytes: parsed, then applied to a
// recording capture manager. The sizes chosen must always be ones the encoder can take.
#include <cstdlib>

#include "mirroring/mirroring_connection.h"
#include "plist/cfvalue.h"
#include "plist/plist.h"

namespace {
struct Recorder {
    int receiverWidth, receiverHeight, targetWidth, targetHeight;
    float overscan;
};
void Start(void *, MirroringConnection *, int, uintptr_t) {}
void Stop(void *) {}
int Force(void *) { return 0; }
void Sizes(void *c, int rw, int rh, int tw, int th) {
    *(Recorder *)c = {rw, rh, tw, th, ((Recorder *)c)->overscan};
}
void Overscan(void *c, float o) { ((Recorder *)c)->overscan = o; }
void Geometry(void *, StreamGeometryInputs *out) { *out = {}; }
void Limits(void *, int, int) {}
void KeyFrame(void *) {}
const MirroringCaptureOps kOps = {Start, Stop, Force, Sizes, Overscan, Geometry, Limits, KeyFrame};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    CFValue *info = PlistParseBytes(data, size);
    if (!info) return 0;
    static MirroringConnection connection;
    Recorder recorder{};
    connection.capture = &kOps;
    connection.captureContext = &recorder;
    ApplyStreamInfo(&connection, info);
    CFValueRelease(info);
    if (recorder.receiverWidth != 1920 && recorder.receiverWidth != 1280) abort();
    if (recorder.targetWidth != recorder.receiverWidth) abort();
    if (recorder.receiverHeight < 1 || recorder.receiverHeight > kMaxReceiverHeight) abort();
    if (recorder.overscan != 0.0f && recorder.overscan != 0.1f) abort();
    return 0;
}
