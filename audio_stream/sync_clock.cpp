#include "audio_stream/sync_clock.h"

#include <algorithm>
#include <climits>

static int64_t SamplesToMicros(int64_t samples, int32_t sampleRate) {
    return sampleRate > 0 ? samples * 1000000 / sampleRate : 0;
}

void AudioSyncClockReset(AudioSyncClock *clock) {
    *clock = AudioSyncClock{};
    clock->earliest[0] = clock->earliest[1] = INT64_MAX;
    clock->loggedShift = -1;
}

int64_t AudioSyncShiftNext(int64_t current, int64_t target, bool first) {
    if (target < 0) return current;
    target = std::min(target, kAudioSyncShiftMaxMicros);
    if (first) return target;
    return std::clamp(target, current - kAudioSyncShiftStepMicros,
                      current + kAudioSyncShiftStepMicros);
}

uint64_t AudioSyncClockTake(AudioSyncClock *clock, uint64_t captureTime, int32_t frameSamples,
                            int32_t sampleRate, bool sync, int64_t pictureDelayMicros) {
    const int64_t captured =
        (int64_t)(uint32_t)captureTime * 1000000 + (int64_t)(uint32_t)(captureTime >> 32);
    // Where the packet's first sample lies on the sample count's own time line.
    const int64_t nominal = SamplesToMicros(clock->samples, sampleRate);
    clock->samples += frameSamples > 0 ? frameSamples : 0;
    const int64_t lateness = captured - nominal;
    int64_t known = std::min(clock->earliest[0], clock->earliest[1]);
    clock->latePackets = known != INT64_MAX && lateness - known > kAudioSyncGapMicros
                             ? clock->latePackets + 1
                             : 0;
    if (clock->latePackets >= kAudioSyncGapPackets) {
        clock->earliest[0] = clock->earliest[1] = INT64_MAX;
        clock->windowPackets = 0;
        clock->latePackets = 0;
    }
    clock->earliest[0] = std::min(clock->earliest[0], lateness);
    const int64_t least = std::min(clock->earliest[0], clock->earliest[1]);
    if (++clock->windowPackets >= kAudioSyncWindowPackets) {
        clock->earliest[1] = clock->earliest[0];
        clock->earliest[0] = INT64_MAX;
        clock->windowPackets = 0;
    }
    if (!sync) return 0;
    clock->shiftMicros = AudioSyncShiftNext(clock->shiftMicros, pictureDelayMicros,
                                            clock->stamped == 0);
    clock->stamped = 1;
    int64_t stamp = std::max<int64_t>(nominal + least + clock->shiftMicros, 0);
    return (uint64_t)(uint32_t)(stamp / 1000000) | (uint64_t)(stamp % 1000000) << 32;
}
