// Logging and clocks of the receiver. Standalone on purpose: the receiver shares
// no code with the sender it checks.
#pragma once

#include <cstdint>

// One line on standard error, prefixed with the wall-clock time; a newline is added.
void RxLog(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Silences RxLog (fuzz targets).
void RxLogSetQuiet(bool quiet);

// The stream clock counts from 2012-02-13 01:16:50 UTC (Unix 1329095810).
constexpr int64_t kStreamClockEpoch = 1329095810;

// Current stream clock in seconds.
double StreamClockNow();
// Current stream clock as 32.32 fixed point (seconds in the upper half).
uint64_t StreamClockNowFixed();
double StreamFixedToSeconds(uint64_t fixed);
uint64_t StreamSecondsToFixed(double seconds);
// CLOCK_MONOTONIC in seconds.
double RxMonotonic();
