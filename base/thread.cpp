#include "base/thread.h"

#include <cstring>

void SetThreadName(const char *name) {
    char shortName[16];
    strncpy(shortName, name, sizeof shortName - 1);
    shortName[sizeof shortName - 1] = '\0';
    pthread_setname_np(pthread_self(), shortName);
}

static void *ThreadTrampoline(void *arg) {
    Thread *thread = static_cast<Thread *>(arg);
    if (thread->name[0] != '\0') SetThreadName(thread->name);
    thread->main(thread->arg);
    return nullptr;
}

int ThreadStart(Thread *thread, const char *name, ThreadMain main, void *arg) {
    if (!thread || !main || thread->started.load()) return 0;
    thread->main = main;
    thread->arg = arg;
    strncpy(thread->name, name ? name : "", sizeof thread->name - 1);
    thread->name[sizeof thread->name - 1] = '\0';
    // Marked before the thread runs, so a thread that ends at once still reads as started
    // until joined.
    thread->started.store(1);
    if (pthread_create(&thread->handle, nullptr, ThreadTrampoline, thread) != 0) {
        thread->started.store(0);
        return 0;
    }
    return 1;
}

int ThreadJoin(Thread *thread) {
    if (!thread || !thread->started.load() || ThreadIsCurrent(thread)) return 0;
    pthread_join(thread->handle, nullptr);
    thread->started.store(0);
    return 1;
}

void ThreadDetach(Thread *thread) {
    if (!thread || !thread->started.load()) return;
    pthread_detach(thread->handle);
    thread->started.store(0);
}

bool ThreadIsCurrent(const Thread *thread) {
    return thread && thread->started.load() && pthread_equal(thread->handle, pthread_self());
}

bool ThreadIsStarted(const Thread *thread) {
    return thread && thread->started.load();
}
