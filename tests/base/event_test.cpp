#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/clock.h"
#include "base/event.h"

TEST(Event, ManualResetStaysSetUntilReset) {
    Event *e = EventCreate(true, false);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(0, EventWait(e, 0));
    EventSet(e);
    EventSet(e);
    EXPECT_EQ(1, EventWait(e, 0));
    EXPECT_EQ(1, EventWait(e, 0));
    EventReset(e);
    EXPECT_EQ(0, EventWait(e, 0));
    EventClose(e);
}

TEST(Event, AutoResetSignalsCoalesceAndAreConsumedOnce) {
    Event *e = EventCreate(false, true);
    ASSERT_NE(nullptr, e);
    EventSet(e); // set twice before anyone waits: still one wake-up
    EXPECT_EQ(1, EventWait(e, 0));
    EXPECT_EQ(0, EventWait(e, 0));
    EventClose(e);
}

TEST(Event, WaitAnyReturnsTheSignalledIndexAndTimesOut) {
    Event *events[3] = {EventCreate(true, false), EventCreate(false, false), EventCreate(true, false)};
    int64_t start = MonotonicNanos();
    EXPECT_EQ(-1, EventWaitAny(events, 3, 50));
    int64_t waited = MonotonicNanos() - start;
    EXPECT_GE(waited, 45 * 1000000LL);

    std::thread setter([&] {
        SleepMillis(20);
        EventSet(events[1]);
    });
    EXPECT_EQ(1, EventWaitAny(events, 3, 5000));
    setter.join();
    EXPECT_FALSE(EventIsSet(events[1]));
    for (Event *e : events) EventClose(e);
}

TEST(Event, OneAutoResetSignalWakesExactlyOneWaiter) {
    Event *e = EventCreate(false, false);
    std::atomic<int> woken{0};
    std::thread a([&] { woken += EventWait(e, 300); });
    std::thread b([&] { woken += EventWait(e, 300); });
    SleepMillis(30);
    EventSet(e);
    a.join();
    b.join();
    EXPECT_EQ(1, woken.load());
    EventClose(e);
}
