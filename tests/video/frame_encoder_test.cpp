// FrameEncoder front end and the x264 implementation, checked by decoding what comes out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "base/log.h"
#include "test_pictures.h"
#include "video/frame_encoder.h"
#include "video/scale_convert.h"
#include "video/x264_adapter.h"

namespace {

// ---- helpers ---------------------------------------------------------------------------

struct Collected {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<std::vector<uint8_t>> headers;
};

void Collect(void *connection, const uint8_t *header, uint64_t headerLength, const uint8_t *data,
             uint64_t length) {
    auto *collected = static_cast<Collected *>(connection);
    collected->headers.emplace_back(header, header + headerLength);
    collected->frames.emplace_back(data, data + length);
}

struct LogCapture {
    std::mutex lock;
    std::string text;
    static void Output(void *context, const char *text, size_t length) {
        auto *self = static_cast<LogCapture *>(context);
        std::lock_guard<std::mutex> hold(self->lock);
        self->text.append(text, length);
    }
};

I420Picture ScreenPicture(int width, int height) {
    std::vector<uint8_t> bgrx = ScreenLikeBgrx(width, height);
    I420Picture picture;
    I420Allocate(&picture, width, height, 0);
    ScaleBand band{};
    band.source = bgrx.data();
    band.sourceWidth = width;
    band.sourceHeight = height;
    band.sourceStride = width * 4;
    band.pictureWidth = width;
    band.pictureHeight = height;
    for (int i = 0; i < 3; i++)
        band.planes[i] = picture.planes[i];
    band.rowCount = height;
    ScaleBandScalar(&band);
    return picture;
}

// NAL unit types of a frame of 4-byte big-endian length-prefixed units; empty when the
// lengths do not add up to the frame exactly.
std::vector<int> NalTypes(const std::vector<uint8_t> &frame) {
    std::vector<int> types;
    size_t at = 0;
    while (at + 4 <= frame.size()) {
        uint32_t length = (uint32_t{frame[at]} << 24) | (frame[at + 1] << 16) |
                          (frame[at + 2] << 8) | frame[at + 3];
        if (length == 0 || at + 4 + length > frame.size()) return {};
        types.push_back(frame[at + 4] & 0x1F);
        at += 4 + length;
    }
    if (at != frame.size()) return {};
    return types;
}

struct AvcConfig {
    bool valid = false;
    int profile = 0, level = 0;
    std::vector<uint8_t> sps, pps;
};

AvcConfig ParseAvcConfig(const std::vector<uint8_t> &record) {
    AvcConfig config;
    if (record.size() < 11 || record[0] != 1 || record[4] != 0xFF || record[5] != 0xE1) {
        return config;
    }
    size_t n = (record[6] << 8) | record[7];
    if (8 + n + 3 > record.size()) return config;
    config.sps.assign(record.begin() + 8, record.begin() + 8 + n);
    if (record[8 + n] != 1) return config;
    size_t m = (record[9 + n] << 8) | record[10 + n];
    if (11 + n + m != record.size()) return config;
    config.pps.assign(record.begin() + 11 + n, record.end());
    config.profile = record[1];
    config.level = record[3];
    config.valid = (config.sps[0] & 0x1F) == 7 && (config.pps[0] & 0x1F) == 8 &&
                   config.sps[1] == record[1] && config.sps[2] == record[2] &&
                   config.sps[3] == record[3];
    return config;
}

// Decodes a stream with libavcodec, counting decoder errors.
class Decoder {
  public:
    explicit Decoder(const std::vector<uint8_t> &avcc) {
        const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        context_ = avcodec_alloc_context3(codec);
        context_->extradata =
            static_cast<uint8_t *>(av_mallocz(avcc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        memcpy(context_->extradata, avcc.data(), avcc.size());
        context_->extradata_size = static_cast<int>(avcc.size());
        context_->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM;
        av_log_set_callback(CountErrors);
        opened_ = avcodec_open2(context_, codec, nullptr) == 0;
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
    }
    ~Decoder() {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&context_);
        av_log_set_callback(av_log_default_callback);
    }
    bool opened() const { return opened_; }
    // Sends one encoded picture (null: flush). Returns false on a decoding error.
    bool Send(const std::vector<uint8_t> *data) {
        int result;
        if (data != nullptr) {
            av_packet_unref(packet_);
            if (av_new_packet(packet_, static_cast<int>(data->size())) != 0) return false;
            memcpy(packet_->data, data->data(), data->size());
            result = avcodec_send_packet(context_, packet_);
        } else {
            result = avcodec_send_packet(context_, nullptr);
        }
        if (result < 0) return false;
        for (;;) {
            result = avcodec_receive_frame(context_, frame_);
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
            if (result < 0) return false;
            if (frame_->decode_error_flags != 0) return false;
            decoded_++;
            width_ = frame_->width;
            height_ = frame_->height;
            last_.width = frame_->width;
            last_.height = frame_->height;
            last_.y.resize(static_cast<size_t>(frame_->width) * frame_->height);
            last_.u.resize(static_cast<size_t>(frame_->width / 2) * (frame_->height / 2));
            last_.v.resize(last_.u.size());
            for (int row = 0; row < frame_->height; row++) {
                memcpy(&last_.y[row * frame_->width], frame_->data[0] + row * frame_->linesize[0],
                       frame_->width);
            }
            for (int row = 0; row < frame_->height / 2; row++) {
                memcpy(&last_.u[row * (frame_->width / 2)],
                       frame_->data[1] + row * frame_->linesize[1], frame_->width / 2);
                memcpy(&last_.v[row * (frame_->width / 2)],
                       frame_->data[2] + row * frame_->linesize[2], frame_->width / 2);
            }
        }
    }
    int decoded() const { return decoded_; }
    int width() const { return width_; }
    int height() const { return height_; }
    const I420Picture &last() const { return last_; }
    static int errors;

  private:
    static void CountErrors(void *, int level, const char *, va_list) {
        if (level <= AV_LOG_ERROR) errors++;
    }
    AVCodecContext *context_ = nullptr;
    AVFrame *frame_ = nullptr;
    AVPacket *packet_ = nullptr;
    bool opened_ = false;
    int decoded_ = 0, width_ = 0, height_ = 0;
    I420Picture last_;
};
int Decoder::errors = 0;

// Encodes count copies of picture (with a small moving block) through encoder.
void EncodeFrames(FrameEncoder *encoder, I420Picture *picture, int count, Collected *out,
                  bool moving = true) {
    for (int i = 0; i < count; i++) {
        if (moving) {
            int x0 = 16 + (i * 8) % (picture->width / 2);
            for (int y = 16; y < 48; y++)
                memset(&picture->y[y * picture->width + x0], 200, 32);
        }
        ASSERT_EQ(encoder->encode(encoder, picture->planes, 0, out), EncoderResultOk);
        encoder->framesEncoded++;
    }
}

class FrameEncoderTest : public ::testing::Test {
  protected:
    void SetUp() override { SetEncodedFrameHandler(Collect); }
    void TearDown() override {
        SetEncodedFrameHandler(nullptr);
        CloseFrameEncoder(encoder_);
    }
    FrameEncoder *encoder_ = nullptr;
};

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
    EXPECT_EQ(config.profile, 100) << "High profile";
    EXPECT_EQ(first.size(), 11 + config.sps.size() + config.pps.size());

    ASSERT_TRUE(RebuildFrameEncoder(&encoder_, 1920, 1080, 3, 1));
    std::vector<uint8_t> second(encoder_->codecHeader,
                                encoder_->codecHeader + encoder_->codecHeaderLength);
    ASSERT_TRUE(ParseAvcConfig(second).valid);
    EXPECT_NE(first, second);

    // The new header really describes 1920x1080: a decoder opened with it decodes a frame
    // of that size.
    I420Picture picture = ScreenPicture(1920, 1080);
    Collected collected;
    EncodeFrames(encoder_, &picture, 1, &collected);
    ASSERT_EQ(collected.frames.size(), 1u);
    EXPECT_EQ(collected.headers[0], second);
    Decoder decoder(second);
    ASSERT_TRUE(decoder.opened());
    ASSERT_TRUE(decoder.Send(&collected.frames[0]));
    ASSERT_TRUE(decoder.Send(nullptr));
    EXPECT_EQ(decoder.width(), 1920);
    EXPECT_EQ(decoder.height(), 1080);
}

TEST_F(FrameEncoderTest, EncodedStreamDecodesCleanlyAndMatchesTheInput) {
    const int width = 1280, height = 720, frames = 12;
    ASSERT_TRUE(RebuildFrameEncoder(&encoder_, width, height, 3, 1));
    I420Picture picture = ScreenPicture(width, height);
    Collected collected;
    EncodeFrames(encoder_, &picture, frames, &collected);
    ASSERT_EQ(collected.frames.size(), static_cast<size_t>(frames))
        << "low-latency settings give one output per picture";
    EXPECT_EQ(encoder_->lastConnection, &collected);
    std::vector<uint8_t> header(encoder_->codecHeader,
                                encoder_->codecHeader + encoder_->codecHeaderLength);
    bool sawSlice = false;
    for (const auto &frame : collected.frames) {
        std::vector<int> types = NalTypes(frame);
        ASSERT_FALSE(types.empty()) << "lengths must add up to the frame";
        for (int type : types)
            sawSlice = sawSlice || type == 1 || type == 5;
    }
    EXPECT_TRUE(sawSlice);

    Decoder::errors = 0;
    Decoder decoder(header);
    ASSERT_TRUE(decoder.opened());
    for (const auto &frame : collected.frames)
        ASSERT_TRUE(decoder.Send(&frame));
    ASSERT_TRUE(decoder.Send(nullptr));
    EXPECT_EQ(Decoder::errors, 0);
    EXPECT_EQ(decoder.decoded(), frames);
    ASSERT_EQ(decoder.width(), width);
    ASSERT_EQ(decoder.height(), height);
    const I420Picture &out = decoder.last();
    double psnrY = PlanePsnr(out.y.data(), picture.y.data(), width, height, width, width);
    double psnrU =
        PlanePsnr(out.u.data(), picture.u.data(), width / 2, height / 2, width / 2, width / 2);
    double psnrV =
        PlanePsnr(out.v.data(), picture.v.data(), width / 2, height / 2, width / 2, width / 2);
    printf("decoded %d pictures, PSNR Y %.2f U %.2f V %.2f dB\n", decoder.decoded(), psnrY, psnrU,
           psnrV);
    EXPECT_GE(psnrY, 35.0);
    EXPECT_GE(psnrU, 35.0);
    EXPECT_GE(psnrV, 35.0);
    // A different picture must not pass the same comparison.
    I420Picture other = ScreenPicture(width, height);
    std::reverse(other.y.begin(), other.y.end());
    EXPECT_LT(PlanePsnr(out.y.data(), other.y.data(), width, height, width, width), 20.0);
}

TEST_F(FrameEncoderTest, HeightsThatAreNotMultiplesOf16AreAccepted) {
    ASSERT_TRUE(RebuildFrameEncoder(&encoder_, 1280, 716, 3, 1));
    I420Picture picture = ScreenPicture(1280, 716);
    Collected collected;
    EncodeFrames(encoder_, &picture, 2, &collected);
    ASSERT_EQ(collected.frames.size(), 2u);
    Decoder decoder(collected.headers[0]);
    for (const auto &frame : collected.frames)
        ASSERT_TRUE(decoder.Send(&frame));
    ASSERT_TRUE(decoder.Send(nullptr));
    EXPECT_EQ(decoder.height(), 716);
}

TEST_F(FrameEncoderTest, QualityIsIgnoredAndLevelPicksTheRateFactor) {
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
    Collected low = encodeAll(2, 1), high = encodeAll(5, 1);
    ASSERT_EQ(low.frames.size(), 3u);
    EXPECT_EQ(low.frames, high.frames) << "Quality must not change the stream";
    Collected fine = encodeAll(3, 3);   // rate factor 15
    Collected coarse = encodeAll(3, 0); // rate factor 36
    EXPECT_GT(total(fine), total(low));
    EXPECT_LT(total(coarse), total(low));

    EXPECT_EQ(X264RateFactorForLevel(0), 36.0f);
    EXPECT_EQ(X264RateFactorForLevel(1), 28.0f);
    EXPECT_EQ(X264RateFactorForLevel(2), 23.0f);
    EXPECT_EQ(X264RateFactorForLevel(3), 15.0f);
    EXPECT_EQ(X264RateFactorForLevel(7), 28.0f);
}

TEST_F(FrameEncoderTest, AFailedBuildLeavesTheSlotEmptyAndSaysWhy) {
    LogCapture log;
    SetDebugOutput(LogCapture::Output, &log);
    ASSERT_TRUE(RebuildFrameEncoder(&encoder_, 320, 240, 3, 1));
    // I420 needs an even width, so the library refuses this one.
    EXPECT_FALSE(RebuildFrameEncoder(&encoder_, 321, 240, 3, 1));
    SetDebugOutput(nullptr, nullptr);
    EXPECT_EQ(encoder_, nullptr);
    EXPECT_NE(log.text.find("Quality: 3!"), std::string::npos);
    EXPECT_NE(log.text.find("FrameEncoder: Init Or Rebuild Encoder! input size: w: 321.000000 h: "
                            "240.000000 output: w: 321.000000 h:240.000000"),
              std::string::npos);
    EXPECT_NE(log.text.find("Using Legacy Encoder!"), std::string::npos);
    EXPECT_NE(log.text.find("FrameEncoder: Failed to Find Encoder!"), std::string::npos);
}

} // namespace
