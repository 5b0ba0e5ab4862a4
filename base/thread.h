// Thread helpers shared by the subsystems' worker threads.
#pragma once

#include <atomic>
#include <pthread.h>

// Names the calling thread (at most 15 characters are kept), for debuggers and top.
void SetThreadName(const char *name);

typedef void (*ThreadMain)(void *arg);

// A joinable worker thread. The record belongs to the owner and must stay where it is
// from ThreadStart until ThreadJoin returns: the new thread reads main and arg from it.
// Zero-initialised it is "not started".
struct Thread {
    pthread_t handle;
    ThreadMain main;
    void *arg;
    char name[16];            // given to the thread before main runs
    std::atomic<int> started; // 1 from a successful start until the join
};

// Starts main(arg) on a new thread named name. Returns 1, or 0 when the system refuses
// a thread (the caller logs its own line); never throws. A record still started is
// refused as well, so a thread is never lost without its join.
[[nodiscard]] int ThreadStart(Thread *thread, const char *name, ThreadMain main, void *arg);
// Waits for the thread to end and marks the record not started. Returns 1 when it joined,
// 0 when nothing was started or when called from the thread itself (which cannot join
// itself; the record then stays started for another thread to join).
int ThreadJoin(Thread *thread);
// Lets a thread that cannot be joined (the caller is that thread, about to free the record's
// owner) end on its own; the record is marked not started.
void ThreadDetach(Thread *thread);
// True on the thread the record started.
bool ThreadIsCurrent(const Thread *thread);
// True between a successful start and the join.
bool ThreadIsStarted(const Thread *thread);
