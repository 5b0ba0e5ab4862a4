// Clocks used by every subsystem. All functions are safe from any thread.
#pragma once

#include <cstdint>

// Monotonic time (CLOCK_MONOTONIC), for intervals and pacing.
int64_t MonotonicNanos();
double MonotonicSeconds();
// Wall-clock time (CLOCK_REALTIME) as Unix nanoseconds.
int64_t RealtimeNanos();
void SleepMillis(int milliseconds);
