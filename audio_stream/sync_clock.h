// The time a sync packet ties to its RTP time. Two corrections to the capture time the
// system-audio driver hands over with each frame (the moment the frame was complete):
//
// - The packet's first sample was captured before that moment: a whole packet earlier,
//   plus however long the sound server and the capture thread took to hand it over, which
//   varies from packet to packet (the server delivers several packets at once, the thread
//   wakes late under load). The samples themselves come at a steady rate, so the least
//   such lateness over the last second or two, counted along the samples sent, gives the
//   first sample's time without the wake-ups' jitter.
// - The receiver shows each picture at its stamp, which is read when the picture is sent:
//   a picture's content is older than its stamp by the time it took to capture, scale,
//   encode and queue it (MirroringPictureDelayMicros). The sound is stamped that much later
//   too, so that both play together. That shift stays within 0..kAudioSyncShiftMaxMicros
//   and, once the stream's first sync packet has set it, moves by at most
//   kAudioSyncShiftStepMicros per sync packet (about a second): a receiver follows such a
//   change as it follows clock drift, without skipping or repeating sound.
//
// Pure; the RTP sender's thread owns the record.
#pragma once

#include <cstdint>

constexpr int64_t kAudioSyncShiftMaxMicros = 200000;
constexpr int64_t kAudioSyncShiftStepMicros = 2000;
// Lateness is tracked over windows of this many packets (about a second); the least of the
// current and the previous window counts.
constexpr int32_t kAudioSyncWindowPackets = 91;
// Packets this much later than the least, this many in a row (half a second), mean that
// samples were lost (the sound server restarted): the least is forgotten and taken afresh,
// rather than stamping the sound a gap too early for up to two seconds. A wake-up that is
// merely late is followed by a burst that catches up well within that.
constexpr int64_t kAudioSyncGapMicros = 100000;
constexpr int32_t kAudioSyncGapPackets = 46;

struct AudioSyncClock {
    int64_t samples;       // samples sent before the next packet, since the reset
    int64_t earliest[2];   // least lateness (µs) of the current window and the previous one
    int32_t windowPackets; // packets counted in the current window
    int32_t latePackets;   // packets in a row more than kAudioSyncGapMicros above the least
    int32_t stamped;       // 1 once a sync time was made since the reset
    int64_t shiftMicros;   // the picture delay the sound is stamped later by
    int64_t loggedShift;   // the shift last written to the log; -1 before the first
};

void AudioSyncClockReset(AudioSyncClock *clock);
// Takes one packet of frameSamples samples handed over at captureTime (Unix seconds in the
// low 32 bits, microseconds in the high 32 bits). When sync is set, returns the time to put
// in this packet's sync packet, in the same form, moving the shift towards
// pictureDelayMicros (-1 when unknown: the shift stays); otherwise returns 0.
uint64_t AudioSyncClockTake(AudioSyncClock *clock, uint64_t captureTime, int32_t frameSamples,
                            int32_t sampleRate, bool sync, int64_t pictureDelayMicros);
// The shift for the next sync packet: target (-1: unknown, current stays) held within
// 0..kAudioSyncShiftMaxMicros, taken at once when first, else approached from current by at
// most kAudioSyncShiftStepMicros.
int64_t AudioSyncShiftNext(int64_t current, int64_t target, bool first);
