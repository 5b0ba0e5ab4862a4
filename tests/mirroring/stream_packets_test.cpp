#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "mirroring/picture_delay.h"
#include "mirroring/stream_packets.h"
#include "test_support.h"

namespace {

uint32_t LE32(const uint8_t *p) {
    return p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
uint16_t LE16(const uint8_t *p) { return (uint16_t)(p[0] | p[1] << 8); }
float F32(const uint8_t *p) {
    uint32_t bits = LE32(p);
    float f;
    memcpy(&f, &bits, 4);
    return f;
}
bool AllZero(const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i]) return false;
    return true;
}

struct Expect {
    float left, top, right, bottom;
};
void CheckGeometry(StreamGeometryInputs in, Expect want) {
    StreamGeometry g = StreamGeometryCompute(in);
    EXPECT_EQ((float)in.pictureWidth, g.width);
    EXPECT_EQ((float)in.pictureHeight, g.height);
    EXPECT_EQ(want.left, g.left);
    EXPECT_EQ(want.top, g.top);
    EXPECT_EQ(want.right, g.right);
    EXPECT_EQ(want.bottom, g.bottom);
}

TEST(StreamGeometryTest, FullHdReceiverAtFullSize) {
    CheckGeometry({1920, 1080, 1920, 1080, 1920, 1080}, {0, 0, 1919, 1079});
}

TEST(StreamGeometryTest, Forced720pIsScaledUpToTheFullHdReceiver) {
    CheckGeometry({1280, 720, 1280, 720, 1920, 1080}, {0, 0, 1919, 1079});
}

TEST(StreamGeometryTest, NarrowPictureIsCentredOnA720pReceiver) {
    CheckGeometry({960, 720, 1280, 720, 1280, 720}, {160, 0, 959, 719});
}

TEST(StreamGeometryTest, LetterboxedPictureOffsetsAreScaledAndTruncated) {
    // (720 - 405) * 0.5 * 1.5 = 236.25 -> 236; odd margins truncate toward zero.
    CheckGeometry({1280, 405, 1280, 720, 1920, 1080}, {0, 236, 1919, 606.5f});
    CheckGeometry({1279, 720, 1280, 720, 1280, 720}, {0, 0, 1278, 719});
}

TEST(StreamGeometryTest, MissingTargetSizeGivesFiniteValues) {
    StreamGeometry g = StreamGeometryCompute({1280, 720, 0, 0, 1920, 1080});
    for (float f : {g.left, g.top, g.right, g.bottom}) EXPECT_TRUE(std::isfinite(f));
}

TEST(StreamPacketTest, CodecPacketLayout) {
    const uint8_t avcc[] = {1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 4, 0x67, 0x64, 0, 0x1F};
    StreamGeometry g = StreamGeometryCompute({1280, 720, 1280, 720, 1920, 1080});
    StreamClock clock{0x01020304, 0x0A0B0C0D};
    size_t length = 0;
    uint8_t *p = StreamPacketBuild(kStreamPacketCodec, clock, g, avcc, sizeof avcc, &length);
    ASSERT_NE(nullptr, p);
    ASSERT_EQ(128 + sizeof avcc, length);
    EXPECT_EQ(sizeof avcc, LE32(p));
    EXPECT_EQ(1, LE16(p + 4));
    EXPECT_EQ(6, LE16(p + 6));
    EXPECT_EQ(0x0A0B0C0Du, LE32(p + 8));
    EXPECT_EQ(0x01020304u, LE32(p + 12));
    EXPECT_EQ(1280.0f, F32(p + 16));
    EXPECT_EQ(720.0f, F32(p + 20));
    EXPECT_TRUE(AllZero(p + 24, 16));
    EXPECT_EQ(1280.0f, F32(p + 40));
    EXPECT_EQ(720.0f, F32(p + 44));
    EXPECT_EQ(0.0f, F32(p + 48));
    EXPECT_EQ(0.0f, F32(p + 52));
    EXPECT_EQ(1919.0f, F32(p + 56));
    EXPECT_EQ(1079.0f, F32(p + 60));
    EXPECT_TRUE(AllZero(p + 64, 64));
    EXPECT_EQ(0, memcmp(avcc, p + 128, sizeof avcc));
    free(p);
}

TEST(StreamPacketTest, VideoPacketLeavesTheCodecSizeFieldsZero) {
    std::vector<uint8_t> frame(1000, 0x5A);
    StreamGeometry g = StreamGeometryCompute({960, 720, 1280, 720, 1280, 720});
    size_t length = 0;
    uint8_t *p = StreamPacketBuild(kStreamPacketVideo, {7, 8}, g, frame.data(), frame.size(), &length);
    ASSERT_NE(nullptr, p);
    ASSERT_EQ(1128u, length);
    EXPECT_EQ(1000u, LE32(p));
    EXPECT_EQ(0, LE16(p + 4));
    EXPECT_EQ(6, LE16(p + 6));
    EXPECT_TRUE(AllZero(p + 16, 24));
    EXPECT_EQ(960.0f, F32(p + 40));
    EXPECT_EQ(160.0f, F32(p + 48));
    EXPECT_EQ(959.0f, F32(p + 56));
    EXPECT_EQ(0, memcmp(frame.data(), p + 128, frame.size()));
    free(p);
}

TEST(StreamPacketTest, HeartbeatIsTypeTwoAndThirty) {
    uint8_t h[128];
    memset(h, 0xEE, sizeof h);
    StreamHeartbeatWrite(h);
    EXPECT_EQ(2, h[4]);
    EXPECT_EQ(30, h[6]);
    h[4] = h[6] = 0;
    EXPECT_TRUE(AllZero(h, 128));
}

TEST(StreamPacketTest, TimestampIsOneLittleEndianWordOfSecondsAndFraction) {
    uint8_t h[128];
    StreamClock clock = StreamClockFromUnixMicros(1329095810LL * 1000000 + 500000);
    StreamPacketHeaderWrite(h, 0, kStreamPacketVideo, clock, {});
    uint64_t word;
    memcpy(&word, h + 8, 8); // little-endian host
    EXPECT_EQ(0u, (uint32_t)(word >> 32));
    EXPECT_EQ(2147483647u, (uint32_t)word);
}

// Records every packet a sender emits.
struct Sent {
    std::vector<std::vector<uint8_t>> packets;
    static void Record(void *context, const uint8_t *bytes, size_t length) {
        static_cast<Sent *>(context)->packets.emplace_back(bytes, bytes + length);
    }
    std::vector<int> Types() const {
        std::vector<int> t;
        for (const auto &p : packets) t.push_back(p[4]);
        return t;
    }
};

class StreamSenderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(1, StreamSenderInit(&sender, Sent::Record, &sent));
        sender.heartbeatTime = kConnect + 5;
    }
    void TearDown() override { StreamSenderFree(&sender); }
    void Send(const std::vector<uint8_t> &header, int64_t now) {
        StreamSenderSendFrame(&sender, header.data(), header.size(), frame.data(), frame.size(),
                              inputs, now);
    }
    static constexpr int64_t kConnect = 1800000000;
    StreamSender sender;
    Sent sent;
    std::vector<uint8_t> frame = {0, 0, 0, 2, 0x65, 0x88};
    StreamGeometryInputs inputs{1280, 720, 1280, 720, 1280, 720};
};

TEST_F(StreamSenderTest, CodecPacketOnlyWhenTheHeaderChanges) {
    LogCapture log;
    std::vector<uint8_t> a = {1, 2, 3, 4}, b = {1, 2, 3, 5}, c = {1, 2, 3, 5, 6};
    Send(a, kConnect);
    Send(a, kConnect);
    Send(b, kConnect);
    Send(c, kConnect);
    Send(c, kConnect);
    EXPECT_EQ((std::vector<int>{1, 0, 0, 1, 0, 1, 0, 0}), sent.Types());
    EXPECT_EQ(128u + 4, sent.packets[0].size());
    EXPECT_EQ(0, memcmp(b.data(), sent.packets[3].data() + 128, 4));
    EXPECT_EQ(128u + 5, sent.packets[5].size());
    EXPECT_TRUE(log.Contains("Setting Header With avcc len: 4 frame size: 132 size of header: 132"));
    EXPECT_FALSE(log.Contains("Has not set header"));
}

TEST_F(StreamSenderTest, PictureWithoutAnyCodecHeaderIsSentWithAWarning) {
    LogCapture log;
    Send({}, kConnect);
    EXPECT_EQ((std::vector<int>{0}), sent.Types());
    EXPECT_TRUE(log.Contains("Has not set header! Invalid avcc\r\n"));
    // An empty header later does not undo the one already sent.
    Send({9, 9}, kConnect);
    Send({}, kConnect);
    EXPECT_EQ((std::vector<int>{0, 1, 0, 0}), sent.Types());
}

TEST_F(StreamSenderTest, HeaderLargerThanTheBufferIsSentOnce) {
    std::vector<uint8_t> big(900);
    for (size_t i = 0; i < big.size(); i++) big[i] = (uint8_t)(i * 13);
    Send(big, kConnect);
    Send(big, kConnect);
    EXPECT_EQ((std::vector<int>{1, 0, 0}), sent.Types());
    EXPECT_EQ(0, memcmp(big.data(), sent.packets[0].data() + 128, big.size()));
    big[899] ^= 1;
    Send(big, kConnect);
    EXPECT_EQ((std::vector<int>{1, 0, 0, 1, 0}), sent.Types());
}

TEST_F(StreamSenderTest, HeartbeatsFollowPicturesAtMostEveryOtherSecond) {
    std::vector<uint8_t> h = {1};
    std::vector<int64_t> beats;
    for (int64_t now = kConnect; now <= kConnect + 12; now++) {
        for (int picture = 0; picture < 3; picture++) {
            size_t before = sent.packets.size();
            Send(h, now);
            for (size_t i = before; i < sent.packets.size(); i++) {
                if (sent.packets[i][4] != 2) continue;
                EXPECT_EQ(128u, sent.packets[i].size());
                EXPECT_EQ(30, sent.packets[i][6]);
                beats.push_back(now);
            }
        }
    }
    // First at connect + 7, then whenever more than one whole second has passed.
    EXPECT_EQ((std::vector<int64_t>{kConnect + 7, kConnect + 9, kConnect + 11}), beats);
}

} // namespace

// How old pictures are when stamped: the stream's first picture (made while the encoder
// starts up) does not count, a few pictures are needed, and the median of the recent ones
// ignores single slow pictures and follows a lasting change.
TEST(PictureDelay, MedianOfRecentPicturesWithoutTheFirst) {
    PictureDelay delay{};
    EXPECT_EQ(-1, PictureDelayMedian(&delay));
    PictureDelayAdd(&delay, 900000);
    for (int i = 0; i < kPictureDelayMinCount - 1; i++) {
        PictureDelayAdd(&delay, 10000 + i);
        EXPECT_EQ(-1, PictureDelayMedian(&delay)) << i;
    }
    PictureDelayAdd(&delay, 250000);
    EXPECT_EQ(10002, PictureDelayMedian(&delay));
    for (int i = 0; i < 40; i++)
        PictureDelayAdd(&delay, i % 5 == 0 ? 180000 : 12000);
    EXPECT_EQ(12000, PictureDelayMedian(&delay));
    for (int i = 0; i < 16; i++)
        PictureDelayAdd(&delay, 30000);
    EXPECT_EQ(30000, PictureDelayMedian(&delay));
    PictureDelayAdd(&delay, -5);
    EXPECT_EQ(30000, PictureDelayMedian(&delay));
}
