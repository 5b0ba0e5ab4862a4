#include "base/event.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "base/clock.h"

struct Event {
    int fd;
    bool manualReset;
};

Event *EventCreate(bool manualReset, bool initiallySet) {
    int fd = eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return nullptr;
    return new Event{fd, manualReset};
}

void EventClose(Event *event) {
    if (!event) return;
    close(event->fd);
    delete event;
}

void EventSet(Event *event) {
    uint64_t one = 1;
    ssize_t r = write(event->fd, &one, sizeof one);
    (void)r; // only fails when the counter would overflow, i.e. it is set already
}

void EventReset(Event *event) {
    uint64_t value;
    ssize_t r = read(event->fd, &value, sizeof value);
    (void)r;
}

bool EventIsSet(Event *event) {
    pollfd p{event->fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

int EventFd(Event *event) { return event->fd; }

int EventWaitAny(Event *const *events, int count, int timeoutMs) {
    if (count <= 0 || count > 64) return -1;
    pollfd fds[64];
    for (int i = 0; i < count; i++) fds[i] = {events[i]->fd, POLLIN, 0};
    int64_t deadline = timeoutMs < 0 ? 0 : MonotonicNanos() + (int64_t)timeoutMs * 1000000;
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            int64_t left = deadline - MonotonicNanos();
            wait = left <= 0 ? 0 : (int)((left + 999999) / 1000000);
        }
        int r = poll(fds, count, wait);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) return -1;
        for (int i = 0; i < count; i++) {
            if (!(fds[i].revents & POLLIN)) continue;
            if (events[i]->manualReset) return i;
            // Auto-reset: whoever reads the counter owns the signal; another
            // waiter may have taken it first, so look again.
            uint64_t value;
            if (read(events[i]->fd, &value, sizeof value) == (ssize_t)sizeof value) return i;
        }
        if (timeoutMs >= 0 && MonotonicNanos() >= deadline) return -1;
    }
}

int EventWait(Event *event, int timeoutMs) {
    return EventWaitAny(&event, 1, timeoutMs) == 0 ? 1 : 0;
}
