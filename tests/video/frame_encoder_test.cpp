// FrameEncoder front end and the x264 implementation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/log.h"
#include "encoder_test_util.h"
#include "tests/support/log_capture.h"
#include "video/frame_encoder.h"
#include "video/x264_adapter.h"

namespace {

// ---- avcC record -----------------------------------------------------------------------

TEST(AvcConfigRecord, OneSpsAndOnePpsWithBigEndianLengths) {
    std::vector<uint8_t> sps(25);
    for (size_t i = 0; i < sps.size(); i++)
        sps[i] = static_cast<uint8_t>(0x40 + i);
    sps[0] = 0x67;
    sps[1] = 100;
    sps[2] = 0x0C;
    sps[3] = 31;
    std::vector<uint8_t> pps = {0x68, 0xEE, 0x3C, 0xB0};
    std::vector<uint8_t> out(64, 0xAA);
    uint64_t length =
        BuildAvcConfigRecord(sps.data(), sps.size(), pps.data(), pps.size(), out.data());
    ASSERT_EQ(length, 40u);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[1], 100);
    EXPECT_EQ(out[2], 0x0C);
    EXPECT_EQ(out[3], 31);
    EXPECT_EQ(out[4], 0xFF);
    EXPECT_EQ(out[5], 0xE1);
    EXPECT_EQ(out[6], 0x00);
    EXPECT_EQ(out[7], 0x19);
    EXPECT_EQ(0, memcmp(&out[8], sps.data(), sps.size()));
    EXPECT_EQ(out[33], 1);
    EXPECT_EQ(out[34], 0);
    EXPECT_EQ(out[35], 4);
    EXPECT_EQ(0, memcmp(&out[36], pps.data(), pps.size()));
    EXPECT_EQ(out[40], 0xAA) << "wrote past the record";
    std::vector<uint8_t> record(out.begin(), out.begin() + 40);
    EXPECT_TRUE(ParseAvcConfig(record).valid);

    // A 300-byte SPS needs the high length byte.
    std::vector<uint8_t> big(300, 0x11);
    big[0] = 0x67;
    std::vector<uint8_t> bigOut(400);
    ASSERT_EQ(BuildAvcConfigRecord(big.data(), big.size(), pps.data(), pps.size(), bigOut.data()),
              315u);
    EXPECT_EQ(bigOut[6], 0x01);
    EXPECT_EQ(bigOut[7], 0x2C);
    EXPECT_EQ(bigOut[8 + 300], 1);

    EXPECT_EQ(BuildAvcConfigRecord(sps.data(), 3, pps.data(), pps.size(), out.data()), 0u);
    EXPECT_EQ(BuildAvcConfigRecord(sps.data(), sps.size(), pps.data(), 0, out.data()), 0u);
    std::vector<uint8_t> huge(70000, 0x11);
    EXPECT_EQ(BuildAvcConfigRecord(huge.data(), huge.size(), pps.data(), pps.size(), nullptr), 0u);
}

// ---- registry and the output hand-over ---------------------------------------------------

struct FakeState {
    int inits = 0, closes = 0, encodes = 0;
};
FakeState fake;

int FakeInitFails(FrameEncoder *) {
    fake.inits++;
    return EncoderResultSetupFailed;
}
int FakeInit(FrameEncoder *encoder) {
    fake.inits++;
    static const uint8_t header[] = {1, 2, 3};
    encoder->codecHeader = const_cast<uint8_t *>(header);
    encoder->codecHeaderLength = sizeof(header);
    return EncoderResultOk;
}
// Produces output only on every second call, like an encoder that buffers.
int FakeEncode(FrameEncoder *encoder, uint8_t *const *picture, int, void *connection) {
    fake.encodes++;
    if (encoder->framesEncoded % 2 == 0) return EncoderResultOk;
    encoder->lastConnection = connection;
    encoder->onOutput(encoder, encoder->codecHeader, encoder->codecHeaderLength, picture[0], 4,
                      connection);
    return EncoderResultOk;
}
int FakeClose(FrameEncoder *encoder) {
    fake.closes++;
    encoder->codecHeader = nullptr;
    return EncoderResultOk;
}

TEST(EncoderRegistry, KindsAreRegisteredOnceAndMatchedByMask) {
    EncoderOps *failing = RegisterEncoderOps(8);
    ASSERT_NE(failing, nullptr);
    *failing = EncoderOps{8, FakeInitFails, FakeEncode, FakeClose};
    EXPECT_EQ(RegisterEncoderOps(8), nullptr) << "a kind is listed once";
    EncoderOps *working = RegisterEncoderOps(16);
    ASSERT_NE(working, nullptr);
    *working = EncoderOps{16, FakeInit, FakeEncode, FakeClose};

    FrameEncoder *encoder = reinterpret_cast<FrameEncoder *>(1);
    EXPECT_EQ(CreateFrameEncoder(64, 8, 8, 8, 8, 1, 3, &encoder), EncoderResultNoImplementation);
    EXPECT_EQ(encoder, nullptr);

    fake = FakeState{};
    EXPECT_EQ(CreateFrameEncoder(8 | 64, 8, 8, 8, 8, 1, 3, &encoder), EncoderResultSetupFailed);
    EXPECT_EQ(encoder, nullptr);
    EXPECT_EQ(fake.inits, 1);
    EXPECT_EQ(fake.closes, 1) << "a failed init is cleaned up";

    ASSERT_EQ(CreateFrameEncoder(16 | 1, 64, 32, 64, 32, 1, 4, &encoder), EncoderResultOk);
    ASSERT_NE(encoder, nullptr);
    EXPECT_EQ(encoder->kind, 16);
    EXPECT_EQ(encoder->annexB, 0);
    EXPECT_EQ(encoder->pixelFormat, 0x79343230u);
    EXPECT_EQ(encoder->planar, 1);
    EXPECT_EQ(encoder->outputWidth, 64.0f);
    EXPECT_EQ(encoder->quality, 4);
    EXPECT_EQ(encoder->framesEncoded, 0);

    // Output reaches the installed handler with the connection as its context.
    Collected collected;
    SetEncodedFrameHandler(Collect);
    uint8_t y[4] = {9, 8, 7, 6};
    uint8_t *planes[3] = {y, y, y};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(encoder->encode(encoder, planes, 0, &collected), EncoderResultOk);
        encoder->framesEncoded++;
    }
    SetEncodedFrameHandler(nullptr);
    ASSERT_EQ(collected.frames.size(), 2u) << "calls without output call no callback";
    EXPECT_EQ(collected.frames[0], std::vector<uint8_t>({9, 8, 7, 6}));
    EXPECT_EQ(collected.headers[1], std::vector<uint8_t>({1, 2, 3}));
    EXPECT_EQ(encoder->lastConnection, &collected);
    EXPECT_EQ(encoder->framesEncoded, 4);
    CloseFrameEncoder(encoder);
    EXPECT_EQ(fake.closes, 2);
}

TEST(EncodedVideoFrame, OwnsCopiesOfBothBlocks) {
    std::vector<uint8_t> header = {1, 100, 0, 31};
    std::vector<uint8_t> data = {0, 0, 0, 2, 0x65, 0x88};
    EncodedVideoFrame *frame =
        EncodedVideoFrameCreate(header.data(), header.size(), data.data(), data.size());
    ASSERT_NE(frame, nullptr);
    header[1] = 0;
    data[4] = 0;
    EXPECT_EQ(frame->codecHeaderLength, 4u);
    EXPECT_EQ(frame->codecHeader[1], 100);
    EXPECT_EQ(frame->frameLength, 6u);
    EXPECT_EQ(frame->frameData[4], 0x65);
    EXPECT_EQ(frame->next, nullptr);
    EncodedVideoFrameFree(frame);

    EncodedVideoFrame *empty = EncodedVideoFrameCreate(nullptr, 0, data.data(), data.size());
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->codecHeader, nullptr);
    EncodedVideoFrameFree(empty);
}

// ---- x264 --------------------------------------------------------------------------------

TEST_F(FrameEncoderTest, RebuildsRegisterTheX264TableOnce) {
    ASSERT_TRUE(RebuildFrameEncoder(&encoder_, 320, 240, 3, 1));
    int count = EncoderRegistryCount();
    ASSERT_TRUE(RebuildFrameEncoder(&encoder_, 640, 480, 3, 1));
    EXPECT_EQ(EncoderRegistryCount(), count);
    EXPECT_EQ(encoder_->kind, EncoderKindLegacy);
    EXPECT_EQ(encoder_->outputWidth, 640.0f);
}

TEST_F(FrameEncoderTest, CodecHeaderDescribesTheStreamAndChangesWithTheSize) {
    ASSERT_TRUE(RebuildFrameEncoder(&encoder_, 1280, 720, 3, 1));
    std::vector<uint8_t> first(encoder_->codecHeader,
                               encoder_->codecHeader + encoder_->codecHeaderLength);
    AvcConfig config = ParseAvcConfig(first);
    ASSERT_TRUE(config.valid);
    // Capped at High; with the 4x4 transform only the stream needs no more than Main.
    EXPECT_EQ(config.profile, 77) << "Main profile";
    EXPECT_EQ(first.size(), 11 + config.sps.size() + config.pps.size());

    ASSERT_TRUE(RebuildFrameEncoder(&encoder_, 1920, 1080, 3, 1));
    std::vector<uint8_t> second(encoder_->codecHeader,
                                encoder_->codecHeader + encoder_->codecHeaderLength);
    ASSERT_TRUE(ParseAvcConfig(second).valid);
    EXPECT_NE(first, second);

    // Frames carry the header of their encoder.
    I420Picture picture = ScreenPicture(1920, 1080);
    Collected collected;
    EncodeFrames(encoder_, &picture, 1, &collected);
    ASSERT_EQ(collected.frames.size(), 1u);
    EXPECT_EQ(collected.headers[0], second);
}

// A picture of fresh noise each time: the encoder wants far more than any ceiling here.
static void FillNoise(I420Picture *picture, uint32_t *seed) {
    for (std::vector<uint8_t> *plane : {&picture->y, &picture->u, &picture->v})
        for (uint8_t &byte : *plane) {
            *seed = *seed * 1103515245u + 12345u;
            byte = (uint8_t)(*seed >> 16);
        }
}

// Bytes of count noise pictures encoded at quality with the link's ceiling linkKbps (0: none),
// after the opening key frame (made before any ceiling from the link could come); the NAL
// types of the picture wanted as a key frame (-1: none) go to keyTypes.
static size_t EncodeNoise(int quality, int level, int linkKbps, int count, int keyAt = -1,
                          std::vector<int> *keyTypes = nullptr) {
    I420Picture picture;
    I420Allocate(&picture, 640, 360, 0);
    FrameEncoder *encoder = nullptr;
    EXPECT_TRUE(RebuildFrameEncoder(&encoder, 640, 360, quality, level));
    if (encoder == nullptr) return 0;
    Collected collected;
    uint32_t seed = 7;
    for (int i = 0; i < count; i++) {
        FillNoise(&picture, &seed);
        encoder->linkMaxKbps = linkKbps;
        encoder->keyFrameWanted = i == keyAt;
        EXPECT_EQ(encoder->encode(encoder, picture.planes, 0, &collected), EncoderResultOk);
        EXPECT_EQ(encoder->keyFrameWanted, 0) << "the wish is consumed by the picture";
        encoder->framesEncoded++;
    }
    CloseFrameEncoder(encoder);
    EXPECT_EQ(collected.frames.size(), (size_t)count);
    if (keyTypes && keyAt >= 0 && keyAt < (int)collected.frames.size())
        *keyTypes = NalTypes(collected.frames[keyAt]);
    size_t bytes = 0;
    for (size_t i = 1; i < collected.frames.size(); i++)
        bytes += collected.frames[i].size();
    return bytes;
}

// What each Video Quality position allows, and the link's lower ceiling: 31 pictures are one
// second at the nominal rate after the opening one, so a stream never exceeds its ceiling plus
// one VBV buffer.
TEST_F(FrameEncoderTest, QualityAndTheLinkCapTheBitrate) {
    auto capBytes = [](int kbps) { return (size_t)(kbps + X264VbvBufferKbits(kbps)) * 1000 / 8; };
    size_t lowest = EncodeNoise(2, 1, 0, 31);
    size_t highest = EncodeNoise(5, 1, 0, 31);
    EXPECT_LE(lowest, capBytes(X264MaxKbpsForQuality(2)));
    EXPECT_GT(highest, lowest * 3) << "the top position allows far more than the lowest";
    size_t linked = EncodeNoise(4, 1, 400, 31);
    EXPECT_LE(linked, capBytes(400));
    EXPECT_GT(linked, capBytes(400) / 4) << "the link's ceiling is used, not undershot";
    // A link ceiling above the user's does not raise it.
    EXPECT_LE(EncodeNoise(2, 1, 20000, 31), capBytes(X264MaxKbpsForQuality(2)));
}

TEST_F(FrameEncoderTest, AWantedKeyFrameIsAnIdrPicture) {
    std::vector<int> types;
    (void)EncodeNoise(4, 1, 0, 6, 4, &types);
    ASSERT_FALSE(types.empty());
    EXPECT_NE(std::find(types.begin(), types.end(), 5), types.end())
        << "picture 4 was wanted as a key frame";
}

TEST_F(FrameEncoderTest, LevelPicksTheRateFactorAtTheMiddlePositions) {
    I420Picture picture = ScreenPicture(640, 360);
    auto encodeAll = [&](int quality, int level) {
        Collected collected;
        FrameEncoder *encoder = nullptr;
        EXPECT_TRUE(RebuildFrameEncoder(&encoder, 640, 360, quality, level));
        if (encoder == nullptr) return collected;
        I420Picture copy = picture;
        copy.planes[0] = copy.y.data();
        copy.planes[1] = copy.u.data();
        copy.planes[2] = copy.v.data();
        EncodeFrames(encoder, &copy, 3, &collected, false);
        CloseFrameEncoder(encoder);
        return collected;
    };
    auto total = [](const Collected &c) {
        size_t bytes = 0;
        for (const auto &f : c.frames)
            bytes += f.size();
        return bytes;
    };
    Collected normal = encodeAll(4, 1);
    ASSERT_EQ(normal.frames.size(), 3u);
    Collected fine = encodeAll(3, 3);   // rate factor 15
    Collected coarse = encodeAll(3, 0); // rate factor 36
    EXPECT_GT(total(fine), total(normal));
    EXPECT_LT(total(coarse), total(normal));
    EXPECT_LT(total(encodeAll(2, 1)), total(normal)) << "the lowest position's factor is 32";
    EXPECT_GT(total(encodeAll(5, 1)), total(normal)) << "the top position's factor is 23";

    EXPECT_EQ(X264RateFactorForLevel(0), 36.0f);
    EXPECT_EQ(X264RateFactorForLevel(1), 28.0f);
    EXPECT_EQ(X264RateFactorForLevel(2), 23.0f);
    EXPECT_EQ(X264RateFactorForLevel(3), 15.0f);
    EXPECT_EQ(X264RateFactorForLevel(7), 28.0f);
}

TEST_F(FrameEncoderTest, AFailedBuildLeavesTheSlotEmptyAndSaysWhy) {
    LogCapture log;
    ASSERT_TRUE(RebuildFrameEncoder(&encoder_, 320, 240, 3, 1));
    // I420 needs an even width.
    EXPECT_FALSE(RebuildFrameEncoder(&encoder_, 321, 240, 3, 1));
    EXPECT_EQ(encoder_, nullptr);
    EXPECT_NE(log.Text().find("Quality: 3!"), std::string::npos);
    EXPECT_NE(log.Text().find("FrameEncoder: Init Or Rebuild Encoder! input size: w: 321.000000 h: "
                              "240.000000 output: w: 321.000000 h:240.000000"),
              std::string::npos);
    EXPECT_NE(log.Text().find("Using Legacy Encoder!"), std::string::npos);
    EXPECT_NE(log.Text().find("FrameEncoder: Failed to Find Encoder!"), std::string::npos);
}

} // namespace
