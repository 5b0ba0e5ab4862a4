#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <pthread.h>

#include "base/thread.h"

namespace {

struct Probe {
    Thread *self;
    std::atomic<int> ran{0};
    std::atomic<int> selfJoin{-1};
    std::atomic<int> current{0};
    char name[16] = {};
};

void ProbeMain(void *arg) {
    Probe *p = static_cast<Probe *>(arg);
    p->current = ThreadIsCurrent(p->self) ? 1 : 0;
    // A thread that joins itself must get a refusal, not a deadlock.
    p->selfJoin = ThreadJoin(p->self);
    pthread_getname_np(pthread_self(), p->name, sizeof p->name);
    p->ran = 1;
}

} // namespace

// The record tells its own thread apart, names it, refuses a second start while the first
// is unjoined and a self-join, and is reusable after the join.
TEST(Thread, StartJoinAndRestart) {
    Thread t{};
    Probe p;
    p.self = &t;
    EXPECT_FALSE(ThreadIsStarted(&t));
    EXPECT_EQ(0, ThreadJoin(&t));
    ASSERT_EQ(1, ThreadStart(&t, "A rather long thread name", ProbeMain, &p));
    EXPECT_EQ(0, ThreadStart(&t, "again", ProbeMain, &p));
    EXPECT_FALSE(ThreadIsCurrent(&t));
    EXPECT_EQ(1, ThreadJoin(&t));
    EXPECT_EQ(1, p.ran.load());
    EXPECT_EQ(1, p.current.load());
    EXPECT_EQ(0, p.selfJoin.load());
    EXPECT_STREQ("A rather long t", p.name);
    EXPECT_FALSE(ThreadIsStarted(&t));

    Probe q;
    q.self = &t;
    ASSERT_EQ(1, ThreadStart(&t, "second", ProbeMain, &q));
    EXPECT_EQ(1, ThreadJoin(&t));
    EXPECT_EQ(1, q.ran.load());
}
