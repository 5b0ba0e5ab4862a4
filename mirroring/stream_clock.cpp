#include "mirroring/stream_clock.h"

#include "base/clock.h"

StreamClock StreamClockFromUnixMicros(int64_t unixMicros) {
    // Floor division, so that times before 1970 still give a fraction in [0, 1).
    int64_t seconds = unixMicros / 1000000;
    int64_t micros = unixMicros % 1000000;
    if (micros < 0) {
        micros += 1000000;
        seconds -= 1;
    }
    StreamClock clock;
    clock.seconds = (uint32_t)(uint64_t)(seconds - kStreamClockEpoch);
    // The factor is 2^32 - 1, so half a second is 0x7FFFFFFF; the product fits in 64 bits.
    clock.fraction = (uint32_t)(((uint64_t)micros * 4294967295ULL) / 1000000ULL);
    return clock;
}

StreamClock StreamClockNow() {
    int64_t nanos = RealtimeNanos();
    int64_t micros = nanos / 1000;
    if (nanos < 0 && nanos % 1000 != 0) micros -= 1;
    return StreamClockFromUnixMicros(micros);
}

static void PutBE32(uint8_t *out, uint32_t v) {
    out[0] = (uint8_t)(v >> 24);
    out[1] = (uint8_t)(v >> 16);
    out[2] = (uint8_t)(v >> 8);
    out[3] = (uint8_t)v;
}

static void PutLE32(uint8_t *out, uint32_t v) {
    out[0] = (uint8_t)v;
    out[1] = (uint8_t)(v >> 8);
    out[2] = (uint8_t)(v >> 16);
    out[3] = (uint8_t)(v >> 24);
}

void StreamClockWriteBE(const StreamClock &clock, uint8_t *out) {
    PutBE32(out, clock.seconds);
    PutBE32(out + 4, clock.fraction);
}

void StreamClockWriteLE64(const StreamClock &clock, uint8_t *out) {
    PutLE32(out, clock.fraction);
    PutLE32(out + 4, clock.seconds);
}
