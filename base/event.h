// Events with the manual- and auto-reset semantics the threads hand over work by.
// An event is an eventfd, so several can be waited on together with poll and a
// socket thread can wait on an event beside its sockets. Any thread may set,
// reset or wait.
#pragma once

struct Event;

// Returns null when the system is out of descriptors.
[[nodiscard]] Event *EventCreate(bool manualReset, bool initiallySet);
void EventClose(Event *event);
void EventSet(Event *event);
void EventReset(Event *event);
// Waits up to timeoutMs (negative: forever). Returns 1 when signalled, 0 on time-out.
// A successful wait on an auto-reset event consumes the signal.
[[nodiscard]] int EventWait(Event *event, int timeoutMs);
// Waits for the first of count events. Returns its index, or -1 on time-out.
[[nodiscard]] int EventWaitAny(Event *const *events, int count, int timeoutMs);
// True when set, without consuming an auto-reset signal.
bool EventIsSet(Event *event);
// The descriptor to poll for readability; valid until EventClose.
int EventFd(Event *event);
