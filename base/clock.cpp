#include "base/clock.h"

#include <cerrno>
#include <ctime>

namespace {
int64_t Read(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}
} // namespace

int64_t MonotonicNanos() { return Read(CLOCK_MONOTONIC); }
double MonotonicSeconds() { return (double)MonotonicNanos() / 1e9; }
int64_t RealtimeNanos() { return Read(CLOCK_REALTIME); }

void SleepMillis(int milliseconds) {
    if (milliseconds <= 0) return;
    timespec ts{milliseconds / 1000, (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}
