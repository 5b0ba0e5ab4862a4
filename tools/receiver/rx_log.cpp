#include "tools/receiver/rx_log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <unistd.h>

static bool quietLog = false;

void RxLogSetQuiet(bool quiet) {
    quietLog = quiet;
}

void RxLog(const char *format, ...) {
    if (quietLog) return;
    char line[2048];
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts;
    gmtime_r(&now.tv_sec, &parts);
    int used = snprintf(line, sizeof line, "receiver %02d:%02d:%02d.%03ld ", parts.tm_hour,
                        parts.tm_min, parts.tm_sec, now.tv_nsec / 1000000);
    va_list args;
    va_start(args, format);
    int body = vsnprintf(line + used, sizeof line - used - 1, format, args);
    va_end(args);
    if (body < 0) body = 0;
    size_t length = used + body;
    if (length > sizeof line - 2) length = sizeof line - 2;
    line[length++] = '\n';
    // One write per line so that lines of concurrent processes do not mix.
    ssize_t ignored = write(STDERR_FILENO, line, length);
    (void)ignored;
}

double StreamClockNow() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (double)(now.tv_sec - kStreamClockEpoch) + now.tv_nsec / 1e9;
}

uint64_t StreamClockNowFixed() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t seconds = (uint32_t)(now.tv_sec - kStreamClockEpoch);
    uint64_t fraction = ((uint64_t)now.tv_nsec << 32) / 1000000000ull;
    return (seconds << 32) | (fraction & 0xffffffffull);
}

double StreamFixedToSeconds(uint64_t fixed) {
    return (double)(fixed >> 32) + (double)(fixed & 0xffffffffull) / 4294967296.0;
}

uint64_t StreamSecondsToFixed(double seconds) {
    if (seconds < 0) seconds = 0;
    uint64_t whole = (uint64_t)seconds;
    uint64_t fraction = (uint64_t)((seconds - (double)whole) * 4294967296.0);
    if (fraction > 0xffffffffull) fraction = 0xffffffffull;
    return (whole << 32) | fraction;
}

double RxMonotonic() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}
