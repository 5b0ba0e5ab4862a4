#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cmath>
#include <cstring>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/clock.h"
#include "mirroring/ntpd.h"
#include "test_support.h"

namespace {

uint32_t BE32(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = (uint8_t)(seed + i * 7);
    return v;
}

// Stream seconds now, computed independently of the code under test.
int64_t ExpectedStreamSeconds() { return time(nullptr) - 1329095810; }

TEST(StreamClockTest, HalfSecondIsAllOnesBelowTheTopBit) {
    StreamClock c = StreamClockFromUnixMicros(1329095810LL * 1000000 + 500000);
    EXPECT_EQ(0u, c.seconds);
    EXPECT_EQ(0x7FFFFFFFu, c.fraction);
    c = StreamClockFromUnixMicros(1329095811LL * 1000000 + 999999);
    EXPECT_EQ(1u, c.seconds);
    EXPECT_EQ(4294963000u, c.fraction); // 999999 * 4294967295 / 10^6, rounded down
    c = StreamClockFromUnixMicros(1329095810LL * 1000000 - 1);
    EXPECT_EQ(0xFFFFFFFFu, c.seconds);
    EXPECT_EQ(4294963000u, c.fraction);
}

TEST(StreamClockTest, ByteOrders) {
    StreamClock c{0x01020304, 0xA0B0C0D0};
    uint8_t be[8], le[8];
    StreamClockWriteBE(c, be);
    StreamClockWriteLE64(c, le);
    const uint8_t wantBE[8] = {1, 2, 3, 4, 0xA0, 0xB0, 0xC0, 0xD0};
    const uint8_t wantLE[8] = {0xD0, 0xC0, 0xB0, 0xA0, 4, 3, 2, 1};
    EXPECT_EQ(0, memcmp(wantBE, be, 8));
    EXPECT_EQ(0, memcmp(wantLE, le, 8));
}

TEST(NtpReplyTest, NtpRequestGetsServerPacket) {
    std::vector<uint8_t> req = Pattern(48, 3);
    StreamClock rx{0x11111111, 0x22222222}, tx{0x33333333, 0x44444444};
    uint8_t out[48];
    ASSERT_EQ(48u, NtpBuildReply(req.data(), 48, rx, tx, out));
    const uint8_t head[4] = {0x24, 0x01, 0x02, 0xE8};
    EXPECT_EQ(0, memcmp(head, out, 4));
    EXPECT_EQ(0, memcmp(req.data() + 4, out + 4, 8));
    EXPECT_EQ(0, memcmp("OSTR", out + 12, 4));
    EXPECT_EQ(0, memcmp(req.data() + 16, out + 16, 8));
    EXPECT_EQ(0, memcmp(req.data() + 40, out + 24, 8));
    EXPECT_EQ(0x11111111u, BE32(out + 32));
    EXPECT_EQ(0x22222222u, BE32(out + 36));
    EXPECT_EQ(0x33333333u, BE32(out + 40));
    EXPECT_EQ(0x44444444u, BE32(out + 44));
}

TEST(NtpReplyTest, TimingRequestGetsStreamClockStamps) {
    std::vector<uint8_t> req = Pattern(32, 9);
    StreamClock rx{0x01000000, 5}, tx{0x01000001, 6};
    uint8_t out[48];
    ASSERT_EQ(32u, NtpBuildReply(req.data(), 32, rx, tx, out));
    EXPECT_EQ(0x80, out[0]);
    EXPECT_EQ(0xD3, out[1]);
    EXPECT_EQ(0, memcmp(req.data() + 2, out + 2, 6));
    EXPECT_EQ(0, memcmp(req.data() + 24, out + 8, 8));
    EXPECT_EQ(0x01000000u, BE32(out + 16));
    EXPECT_EQ(5u, BE32(out + 20));
    // Transmit seconds on the same clock as the receive seconds, not plain Unix time.
    EXPECT_EQ(0x01000001u, BE32(out + 24));
    EXPECT_EQ(6u, BE32(out + 28));
}

TEST(NtpReplyTest, OtherSizesGetNoReply) {
    std::vector<uint8_t> req = Pattern(64, 1);
    uint8_t out[48];
    for (size_t n : {0, 1, 31, 33, 40, 47, 49, 64})
        EXPECT_EQ(0u, NtpBuildReply(req.data(), n, {}, {}, out)) << n;
}

class NtpdServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!EnterPrivateNetwork()) GTEST_SKIP() << "needs CAP_SYS_ADMIN for a network namespace";
    }
    void TearDown() override {
        NtpdStop(NtpdVideo());
        NtpdStop(NtpdAudio());
    }
    LogCapture log;
};

TEST_F(NtpdServerTest, AnswersBothRequestFormsOverUdp) {
    ASSERT_EQ(1, NtpdStartVideo());
    ASSERT_TRUE(NtpdIsRunning(NtpdVideo()));
    EXPECT_TRUE(log.Contains("NTPd Video: Started service, opened socket\r\n"));

    std::vector<uint8_t> req = Pattern(48, 5);
    std::vector<uint8_t> reply = UdpExchange(kNtpdVideoPort, req, 2000);
    ASSERT_EQ(48u, reply.size());
    EXPECT_EQ(0x24, reply[0]);
    EXPECT_EQ(0, memcmp(req.data() + 40, reply.data() + 24, 8));
    int64_t want = ExpectedStreamSeconds();
    EXPECT_LE(std::llabs((int64_t)BE32(&reply[32]) - want), 2);
    EXPECT_LE(std::llabs((int64_t)BE32(&reply[40]) - want), 2);
    // Transmit is read after receive.
    uint64_t rx = (uint64_t)BE32(&reply[32]) << 32 | BE32(&reply[36]);
    uint64_t tx = (uint64_t)BE32(&reply[40]) << 32 | BE32(&reply[44]);
    EXPECT_LE(rx, tx);

    req = Pattern(32, 11);
    reply = UdpExchange(kNtpdVideoPort, req, 2000);
    ASSERT_EQ(32u, reply.size());
    EXPECT_EQ(0x80, reply[0]);
    EXPECT_EQ(0xD3, reply[1]);
    EXPECT_EQ(0, memcmp(req.data() + 24, reply.data() + 8, 8));
    EXPECT_LE(std::llabs((int64_t)BE32(&reply[16]) - want), 2);
    EXPECT_LE(std::llabs((int64_t)BE32(&reply[24]) - want), 2);
}

TEST_F(NtpdServerTest, IgnoresOtherSizesAndKeepsServing) {
    ASSERT_EQ(1, NtpdStartAudio(51965));
    EXPECT_TRUE(log.Contains(
        "NTPd Audio: Started service, opened socket on port: 51965 with packetSize: 32\r\n"));
    EXPECT_TRUE(UdpExchange(51965, Pattern(40, 1), 300).empty());
    // Longer than the receive buffer: must not be taken for a 48-byte request.
    EXPECT_TRUE(UdpExchange(51965, Pattern(100, 1), 300).empty());
    EXPECT_TRUE(UdpExchange(51965, {}, 300).empty());
    EXPECT_EQ(48u, UdpExchange(51965, Pattern(48, 2), 2000).size());
    EXPECT_TRUE(NtpdIsRunning(NtpdAudio()));
}

TEST_F(NtpdServerTest, UnanswerableRequestDoesNotEndTheService) {
    ASSERT_EQ(1, NtpdStartVideo());
    // A request from source port 0: the reply cannot be sent.
    int raw = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
    ASSERT_GE(raw, 0);
    uint8_t datagram[8 + 48] = {};
    udphdr *udp = (udphdr *)datagram;
    udp->source = 0;
    udp->dest = htons(kNtpdVideoPort);
    udp->len = htons(sizeof datagram);
    udp->check = 0;
    datagram[8] = 0x23;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ((ssize_t)sizeof datagram,
                  sendto(raw, datagram, sizeof datagram, 0, (sockaddr *)&to, sizeof to));
    close(raw);
    ASSERT_TRUE(log.WaitFor("NTP server failed in sendto\r\n", 2000)) << log.Text();
    EXPECT_TRUE(NtpdIsRunning(NtpdVideo()));
    EXPECT_EQ(48u, UdpExchange(kNtpdVideoPort, Pattern(48, 4), 2000).size());
    // Repeated failures are not logged once each.
    std::string text = log.Text();
    EXPECT_EQ(text.find("failed in sendto"), text.rfind("failed in sendto"));
}

TEST_F(NtpdServerTest, StopEndsTheBlockedReceiveAndFreesThePort) {
    ASSERT_EQ(1, NtpdStartVideo());
    SleepMillis(100); // the thread is now blocked in its receive
    NtpdStop(NtpdVideo());
    EXPECT_FALSE(NtpdIsRunning(NtpdVideo()));
    EXPECT_TRUE(log.Contains("NTPd Video: Stopped service, closed socket\r\n"));
    EXPECT_TRUE(log.Contains("NTPd: Slept for 500ms"));
    EXPECT_TRUE(UdpExchange(kNtpdVideoPort, Pattern(48, 1), 300).empty());

    // The socket really is closed: the port binds without address reuse.
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kNtpdVideoPort);
    EXPECT_EQ(0, bind(fd, (sockaddr *)&a, sizeof a));
    close(fd);

    // Stop is idempotent and start works again afterwards.
    NtpdStop(NtpdVideo());
    ASSERT_EQ(1, NtpdStartVideo());
    EXPECT_EQ(48u, UdpExchange(kNtpdVideoPort, Pattern(48, 3), 2000).size());
}

TEST_F(NtpdServerTest, PortInUseFailsTheStartWithoutWaitingForever) {
    int blocker = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kNtpdVideoPort);
    ASSERT_EQ(0, bind(blocker, (sockaddr *)&a, sizeof a));

    int64_t start = MonotonicNanos();
    EXPECT_EQ(0, NtpdStartVideo());
    int64_t elapsedMs = (MonotonicNanos() - start) / 1000000;
    // The failed bind itself ends the wait, well before the fallback time limit.
    EXPECT_LT(elapsedMs, kNtpdStartWaitMs);
    EXPECT_FALSE(NtpdIsRunning(NtpdVideo()));
    EXPECT_TRUE(log.Contains("NTPd Video: could not bind UDP port 7010"));

    close(blocker);
    ASSERT_EQ(1, NtpdStartVideo());
    EXPECT_EQ(32u, UdpExchange(kNtpdVideoPort, Pattern(32, 3), 2000).size());
}

} // namespace
