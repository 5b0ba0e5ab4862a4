#include "fake_system_audio.h"

#include <atomic>
#include <mutex>

#include "system_audio/audio_encoder_driver.h"

namespace {
std::mutex driverLock; // a push in progress finishes before a stop returns
EncodedAudioHandler handler = nullptr;
void *handlerContext = nullptr;
int driverRecord = 0; // stands for the driver's own record
std::atomic<int> starts{0};
std::atomic<int> stops{0};
} // namespace

void StartSystemAudio(void *context, EncodedAudioHandler onEncodedAudio) {
    std::lock_guard<std::mutex> hold(driverLock);
    handler = onEncodedAudio;
    handlerContext = context;
    starts++;
}

void StopSystemAudio() {
    std::lock_guard<std::mutex> hold(driverLock);
    if (!handler) return;
    handler = nullptr;
    handlerContext = nullptr;
    stops++;
}

int SystemAudioIsActive() {
    std::lock_guard<std::mutex> hold(driverLock);
    return handler ? 1 : 0;
}

bool FakeSystemAudioPush(const uint8_t *payload, int64_t length, uint64_t captureTime) {
    std::lock_guard<std::mutex> hold(driverLock);
    if (!handler) return false;
    handler(&driverRecord, payload, length, captureTime, handlerContext);
    return true;
}

int FakeSystemAudioStarts() {
    return starts.load();
}
int FakeSystemAudioStops() {
    return stops.load();
}
