// The stream clock: the time base of timing replies, stream packets and audio sync
// packets. Its zero is Unix time 1329095810 (2012-02-13 01:16:50 UTC); the fraction
// counts 2^32 - 1 steps per second. Pure functions, safe from any thread.
#pragma once

#include <cstdint>

// Unix seconds at the stream clock's zero.
constexpr int64_t kStreamClockEpoch = 1329095810;

struct StreamClock {
    uint32_t seconds;  // Unix seconds - kStreamClockEpoch, modulo 2^32
    uint32_t fraction; // microseconds within the second * (2^32 - 1) / 10^6, rounded down
};

// The stream clock at a wall-clock time given in Unix microseconds.
StreamClock StreamClockFromUnixMicros(int64_t unixMicros);
// The stream clock now (CLOCK_REALTIME).
StreamClock StreamClockNow();

// Big-endian seconds then fraction, 8 bytes, as the timing replies carry them.
void StreamClockWriteBE(const StreamClock &clock, uint8_t *out);
// Little-endian 64-bit value with seconds in the upper half, as stream packets carry it.
void StreamClockWriteLE64(const StreamClock &clock, uint8_t *out);
