#include "fake_system_audio.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "system_audio/audio_encoder_driver.h"

namespace {
std::mutex driverLock; // a push in progress finishes before a stop returns
EncodedAudioHandler handler = nullptr;
void *handlerContext = nullptr;
int driverRecord = 0; // stands for the driver's own record
SystemAudioLostHandler lostHandler = nullptr;
std::atomic<bool> failStarts{false};
std::atomic<int> starts{0};
std::atomic<int> stops{0};

std::mutex holdLock; // with holdChanged: a start held in the middle
std::condition_variable holdChanged;
bool holdStarts = false;
bool startHeld = false;
} // namespace

int StartSystemAudio(void *context, EncodedAudioHandler onEncodedAudio,
                     SystemAudioLostHandler onLost) {
    {
        // A held start stays in the middle, as a real one does while it takes the output
        // over, until the test lets it go (ten seconds at most).
        std::unique_lock<std::mutex> hold(holdLock);
        if (holdStarts) {
            startHeld = true;
            holdChanged.notify_all();
            holdChanged.wait_for(hold, std::chrono::seconds(10), [] { return !holdStarts; });
            startHeld = false;
        }
    }
    std::lock_guard<std::mutex> hold(driverLock);
    if (failStarts.load()) return 0;
    handler = onEncodedAudio;
    handlerContext = context;
    lostHandler = onLost;
    starts++;
    return 1;
}

int StartSystemAudioAs(const SystemAudioFormat *, void *context, EncodedAudioHandler onEncodedAudio,
                       SystemAudioLostHandler onLost) {
    return StartSystemAudio(context, onEncodedAudio, onLost);
}

void StopSystemAudio(void *context) {
    std::lock_guard<std::mutex> hold(driverLock);
    if (!handler || handlerContext != context) return;
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

void FakeSystemAudioHoldStarts() {
    std::lock_guard<std::mutex> hold(holdLock);
    holdStarts = true;
}

bool FakeSystemAudioWaitStartHeld(int timeoutMs) {
    std::unique_lock<std::mutex> hold(holdLock);
    return holdChanged.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                [] { return startHeld; });
}

void FakeSystemAudioReleaseStarts() {
    std::lock_guard<std::mutex> hold(holdLock);
    holdStarts = false;
    holdChanged.notify_all();
}

void FakeSystemAudioFailStarts(bool fail) {
    failStarts = fail;
}

bool FakeSystemAudioLose() {
    std::lock_guard<std::mutex> hold(driverLock);
    if (!handler) return false;
    lostHandler(handlerContext);
    return true;
}
