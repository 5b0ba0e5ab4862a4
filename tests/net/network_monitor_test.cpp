#include "net/network_monitor.h"

#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "base/clock.h"
#include "net_test_util.h"
#include "tests/support/private_network.h"

namespace {

struct Restarts {
    std::atomic<int> count{0};
    std::atomic<int64_t> lastAt{0};
};

void OnRestart(void *context) {
    Restarts *r = (Restarts *)context;
    r->lastAt = MonotonicNanos();
    r->count++;
}

double SecondsSince(int64_t nanos) {
    return (MonotonicNanos() - nanos) / 1e9;
}

class NetworkMonitorTest : public ::testing::Test {
  protected:
    void TearDown() override {
        NetworkMonitorStop();
        NetworkMonitorDelayMs = 3000;
        NetworkMonitorHoldOffMs = 30000;
    }
};

TEST_F(NetworkMonitorTest, AddressChangeRestartsDiscoveryOnceAfterThreeSeconds) {
    PrivateNetwork network;
    if (!network.Ready()) GTEST_SKIP() << network.Reason();
    LogCapture log;
    Restarts restarts;
    ASSERT_EQ(NetworkMonitorStart(OnRestart, &restarts), 1);
    int64_t changedAt = MonotonicNanos();
    ASSERT_TRUE(network.AddAddress("10.77.0.1/24"));
    ASSERT_TRUE(WaitUntil([&] { return restarts.count.load() >= 1; }, 6000));
    double delay = (restarts.lastAt.load() - changedAt) / 1e9;
    EXPECT_GE(delay, 2.9);
    EXPECT_LE(delay, 4.0);
    EXPECT_TRUE(log.Contains("Create and start network address change monitor\r\n"));
    EXPECT_TRUE(log.Contains("IP address change. Re-enumerate AirPlay hosts list\r\n"));

    // Another change during the hold-off starts nothing, and stop does not wait it out.
    ASSERT_TRUE(network.AddAddress("10.77.1.1/24"));
    SleepMillis(500);
    int64_t stopAt = MonotonicNanos();
    NetworkMonitorStop();
    EXPECT_LT(SecondsSince(stopAt), 1.0);
    EXPECT_EQ(restarts.count.load(), 1);
    EXPECT_TRUE(log.Contains("Stop and destroy network address change monitor\r\n"));
}

TEST_F(NetworkMonitorTest, StopWhileWaitingLogsAndReturnsAtOnce) {
    PrivateNetwork network;
    if (!network.Ready()) GTEST_SKIP() << network.Reason();
    LogCapture log;
    Restarts restarts;
    ASSERT_EQ(NetworkMonitorStart(OnRestart, &restarts), 1);
    int64_t stopAt = MonotonicNanos();
    NetworkMonitorStop();
    EXPECT_LT(SecondsSince(stopAt), 1.0);
    EXPECT_TRUE(
        log.Contains("Unable to capture IP address change though notification events fired\r\n"));
    EXPECT_EQ(restarts.count.load(), 0);
    // A second stop has nothing to do; a new start works again.
    NetworkMonitorStop();
    NetworkMonitorStart(OnRestart, &restarts);
    NetworkMonitorStop();
}

TEST_F(NetworkMonitorTest, StopDuringDelayCancelsTheRestart) {
    PrivateNetwork network;
    if (!network.Ready()) GTEST_SKIP() << network.Reason();
    Restarts restarts;
    ASSERT_EQ(NetworkMonitorStart(OnRestart, &restarts), 1);
    ASSERT_TRUE(network.AddAddress("10.77.2.1/24"));
    SleepMillis(1000);
    int64_t stopAt = MonotonicNanos();
    NetworkMonitorStop();
    EXPECT_LT(SecondsSince(stopAt), 1.0);
    EXPECT_EQ(restarts.count.load(), 0);
}

TEST_F(NetworkMonitorTest, ChangesDuringHoldOffAreNotReportedAfterIt) {
    PrivateNetwork network;
    if (!network.Ready()) GTEST_SKIP() << network.Reason();
    NetworkMonitorDelayMs = 300;
    NetworkMonitorHoldOffMs = 1500;
    Restarts restarts;
    ASSERT_EQ(NetworkMonitorStart(OnRestart, &restarts), 1);
    ASSERT_TRUE(network.AddAddress("10.77.3.1/24"));
    ASSERT_TRUE(WaitUntil([&] { return restarts.count.load() == 1; }, 3000));
    ASSERT_TRUE(network.AddAddress("10.77.4.1/24")); // inside the hold-off
    SleepMillis(2500);                               // hold-off over, plus a delay's worth
    EXPECT_EQ(restarts.count.load(), 1);
    ASSERT_TRUE(network.AddAddress("10.77.5.1/24"));
    EXPECT_TRUE(WaitUntil([&] { return restarts.count.load() == 2; }, 3000));
    // Removing an address is a change too.
    SleepMillis(2000);
    int code = -1;
    RunCommand("ip addr del 10.77.5.1/24 dev lo 2>&1", &code);
    ASSERT_EQ(code, 0);
    EXPECT_TRUE(WaitUntil([&] { return restarts.count.load() == 3; }, 3000));
}

} // namespace
