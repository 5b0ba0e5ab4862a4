// The send budget against a simulated link: a screen that wants 5.5 Mbit/s, pictures every
// 33 ms unless held back, at most the budget's ceiling each, and a link that drains what
// waits at its rate. The budget sees what MirroringThread sees: bytes waiting and the
// acknowledged total, every 20 ms.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "mirroring/send_budget.h"

namespace {

struct SimulatedLink {
    SendBudget budget;
    double linkBytesPerSecond = 0;
    double wantKbps = 5500;
    double waiting = 0;
    double acked = 0;
    int64_t now = 1000000000; // monotonic nanoseconds
    int64_t nextPicture = 0;
    int held = 0, sent = 0;
    double sentBytes = 0;

    SimulatedLink() { SendBudgetInit(&budget); }

    // Runs for seconds; returns the longest wait (queue / link rate, in seconds) seen after
    // skipFirst seconds.
    double Run(double seconds, double skipFirst = 0) {
        const int64_t tick = kSendBudgetTickMs * 1000000LL;
        int64_t end = now + (int64_t)(seconds * 1e9);
        int64_t settled = now + (int64_t)(skipFirst * 1e9);
        double worst = 0;
        while (now < end) {
            now += tick;
            double drained = std::min(waiting, linkBytesPerSecond * tick / 1e9);
            waiting -= drained;
            acked += drained;
            while (nextPicture <= now) {
                nextPicture = now + 33333333;
                if (budget.hold) {
                    held++;
                    continue;
                }
                double kbps =
                    budget.ceilingKbps ? std::min<double>(wantKbps, budget.ceilingKbps) : wantKbps;
                double bytes = kbps * 1000 / 8 / 30;
                waiting += bytes;
                sentBytes += bytes;
                sent++;
            }
            (void)SendBudgetUpdate(&budget, now, (uint64_t)waiting, (uint64_t)acked);
            if (now >= settled) worst = std::max(worst, waiting / linkBytesPerSecond);
        }
        return worst;
    }
};

} // namespace

TEST(SendBudget, AnOpenLinkIsLeftAlone) {
    SimulatedLink link;
    link.linkBytesPerSecond = 100e6 / 8;
    link.Run(10);
    EXPECT_EQ(link.held, 0);
    EXPECT_EQ(link.budget.ceilingKbps, 0);
    EXPECT_EQ(link.budget.hold, 0);
}

TEST(SendBudget, ASlowLinkKeepsTheLagBoundedAndTheCeilingNearItsRate) {
    SimulatedLink link;
    link.linkBytesPerSecond = 1e6 / 8;
    double worst = link.Run(30, 3);
    EXPECT_LE(worst, 0.4) << "what waits stays within a few pictures at the link's rate";
    EXPECT_GT(link.budget.ceilingKbps, 0);
    EXPECT_LE(link.budget.ceilingKbps, 1500);
    EXPECT_GE(link.budget.ceilingKbps, 300);
    // Most of the link is used, and pictures still come at a useful rate.
    EXPECT_GT(link.sentBytes, 0.6 * 1e6 / 8 * 30);
    EXPECT_GT(link.sent, 10 * 30);
}

TEST(SendBudget, BackFromASlowLinkTheRateIsProbedUp) {
    SimulatedLink link;
    link.linkBytesPerSecond = 1e6 / 8;
    link.Run(20);
    ASSERT_GT(link.budget.ceilingKbps, 0);
    ASSERT_LT(link.budget.ceilingKbps, 2000);
    link.linkBytesPerSecond = 100e6 / 8;
    // The queue drains at once on the open link.
    double worst = link.Run(2, 0.2);
    EXPECT_LE(worst, 0.1);
    EXPECT_EQ(link.budget.hold, 0);
    // Within 10 s the ceiling is at or above what the screen wants again.
    link.Run(8);
    EXPECT_TRUE(link.budget.ceilingKbps == 0 || link.budget.ceilingKbps >= link.wantKbps)
        << "ceiling " << link.budget.ceilingKbps;
}

TEST(SendBudget, ALinkThatNarrowsMidwayIsFollowedDown) {
    SimulatedLink link;
    link.linkBytesPerSecond = 20e6 / 8;
    link.Run(5);
    EXPECT_EQ(link.budget.ceilingKbps, 0);
    link.linkBytesPerSecond = 3e6 / 8;
    double worst = link.Run(20, 3);
    EXPECT_LE(worst, 0.4);
    EXPECT_GT(link.budget.ceilingKbps, 0);
    EXPECT_LE(link.budget.ceilingKbps, 4000);
}

// A fast link that loses packets now and then, as Wi-Fi does: every picture is acknowledged
// a round trip (30 ms) after it went out, but a lost packet holds the acknowledgement of
// everything behind it until its resend arrives, two round trips later, and now and then
// (a lost last packet) only after the 200 ms retransmission timer. The link carries far more
// than the screen wants: the ceiling must not be ratcheted down by these short waits.
TEST(SendBudget, ALossyFastLinkKeepsMostOfTheScreensRate) {
    SendBudget budget;
    SendBudgetInit(&budget);
    struct InFlight {
        int64_t ackedAt;
        double bytes;
    };
    std::vector<InFlight> flight;
    double acked = 0, sentBytes = 0;
    int64_t now = 1000000000, nextPicture = 0, ackFloor = 0;
    int pictures = 0;
    const int64_t tick = kSendBudgetTickMs * 1000000LL, rtt = 30 * 1000000LL;
    for (int64_t end = now + 30 * 1000000000LL; now < end;) {
        now += tick;
        while (!flight.empty() && flight.front().ackedAt <= now) {
            acked += flight.front().bytes;
            flight.erase(flight.begin());
        }
        while (nextPicture <= now) {
            nextPicture = now + 33333333;
            if (budget.hold) continue;
            double kbps = budget.ceilingKbps ? std::min(5500.0, (double)budget.ceilingKbps) : 5500;
            double bytes = kbps * 1000 / 8 / 30;
            pictures++;
            int64_t delay = rtt;
            if (pictures % 4 == 0) delay = 3 * rtt;           // a lost packet, resent at once
            if (pictures % 45 == 0) delay = 200 * 1000000LL;  // a lost last packet
            // Acknowledgements are cumulative: nothing overtakes what waits for a resend.
            ackFloor = std::max(ackFloor, now + delay);
            flight.push_back({ackFloor, bytes});
            if (now >= end - 10 * 1000000000LL) sentBytes += bytes;
        }
        double waiting = 0;
        for (const InFlight &f : flight)
            waiting += f.bytes;
        (void)SendBudgetUpdate(&budget, now, (uint64_t)waiting, (uint64_t)acked);
    }
    double lastTenKbps = sentBytes * 8 / 1000 / 10;
    EXPECT_GE(lastTenKbps, 0.7 * 5500) << "ceiling " << budget.ceilingKbps;
}
