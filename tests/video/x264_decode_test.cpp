// The x264 stream decoded with libavcodec. Kept apart from the other video tests because
// the decoder library cannot run under valgrind.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "base/clock.h"
#include "encoder_test_util.h"
#include "video/capture_buffers.h"
#include "video/frame_encoder.h"
#include "video/scale_convert.h"

namespace {

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

TEST_F(FrameEncoderTest, ARebuiltHeaderDecodesPicturesOfTheNewSize) {
    ASSERT_TRUE(RebuildFrameEncoder(&encoder_, 1280, 720, 3, 1));
    ASSERT_TRUE(RebuildFrameEncoder(&encoder_, 1920, 1080, 3, 1));
    std::vector<uint8_t> second(encoder_->codecHeader,
                                encoder_->codecHeader + encoder_->codecHeaderLength);
    // The new header really describes 1920x1080: a decoder opened with it decodes a frame
    // of that size.
    I420Picture picture = ScreenPicture(1920, 1080);
    Collected collected;
    EncodeFrames(encoder_, &picture, 1, &collected);
    ASSERT_EQ(collected.frames.size(), 1u);
    EXPECT_EQ(collected.headers[0], second);
    // The frame travels with the size it was encoded at, for the packet that carries it.
    EXPECT_EQ(collected.sizes[0], std::make_pair(1920, 1080));
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

// The whole pipeline with the real encoder: captured 1920x1080 frames are scaled to
// 1280x720, encoded and decoded again, and must match the reference scaling of the frame.
struct PipelineOwner {
    FrameEncoder *encoder = nullptr;
    Collected collected;
    std::atomic<int> lastResult{-1};
    std::atomic<int> results{0};
};
FrameEncoder *PipelineEncoder(void *owner) {
    return static_cast<PipelineOwner *>(owner)->encoder;
}
void *PipelineConnection(void *owner) {
    return &static_cast<PipelineOwner *>(owner)->collected;
}
double PipelineMaxFps(void *) {
    return 30.0;
}
void PipelineResult(void *owner, int result) {
    static_cast<PipelineOwner *>(owner)->lastResult.store(result);
    static_cast<PipelineOwner *>(owner)->results++;
}
void PipelineStatus(void *, const char *) {}
const CaptureBuffersOwnerOps kPipelineOps = {PipelineEncoder, PipelineConnection, PipelineMaxFps,
                                             PipelineResult, PipelineStatus};

TEST_F(FrameEncoderTest, CapturedFramesArriveDecodableThroughThePipeline) {
    const int captureWidth = 1920, captureHeight = 1080, width = 1280, height = 720;
    const int frames = 6;
    PipelineOwner owner;
    ASSERT_TRUE(RebuildFrameEncoder(&owner.encoder, width, height, 3, 1));
    encoder_ = owner.encoder; // closed by the fixture
    CaptureBuffers *buffers = CaptureBuffersCreate(captureWidth, captureHeight, width, height,
                                                   ProbeCpuFeatures(), &kPipelineOps, &owner);
    ASSERT_NE(buffers, nullptr);
    std::vector<uint8_t> image = ScreenLikeBgrx(captureWidth, captureHeight);
    for (int i = 0; i < frames; i++) {
        int slot = CaptureBuffersTakeForFilling(buffers, CapturePair);
        ASSERT_GE(slot, 0);
        buffers->bottomUp.store(0);
        memcpy(buffers->captureSlots[slot], image.data(), image.size());
        CaptureBuffersGiveBack(buffers, CapturePair, slot);
    }
    // The collected list is written on the encode thread; wait for the count to settle.
    double deadline = MonotonicSeconds() + 30;
    while (owner.encoder->framesEncoded < frames && MonotonicSeconds() < deadline)
        SleepMillis(10);
    CaptureBuffersDestroy(buffers);
    ASSERT_EQ(owner.encoder->framesEncoded, frames);
    EXPECT_EQ(owner.lastResult.load(), EncoderResultOk);
    ASSERT_EQ(owner.collected.frames.size(), static_cast<size_t>(frames));

    I420Picture expected;
    I420Allocate(&expected, width, height, 0);
    ScaleBand band{};
    band.source = image.data();
    band.sourceWidth = captureWidth;
    band.sourceHeight = captureHeight;
    band.sourceStride = captureWidth * 4;
    band.pictureWidth = width;
    band.pictureHeight = height;
    for (int i = 0; i < 3; i++)
        band.planes[i] = expected.planes[i];
    band.rowCount = height;
    ScaleBandScalar(&band);

    Decoder::errors = 0;
    Decoder decoder(owner.collected.headers.back());
    ASSERT_TRUE(decoder.opened());
    for (const auto &frame : owner.collected.frames)
        ASSERT_TRUE(decoder.Send(&frame));
    ASSERT_TRUE(decoder.Send(nullptr));
    EXPECT_EQ(Decoder::errors, 0);
    EXPECT_EQ(decoder.decoded(), frames);
    ASSERT_EQ(decoder.width(), width);
    double psnr =
        PlanePsnr(decoder.last().y.data(), expected.y.data(), width, height, width, width);
    EXPECT_GE(psnr, 35.0);
}

} // namespace

// A picture lost on the way out (never decoded) followed by the key frame the connection asks
// for: the receiver's picture is whole again at once. Without the key frame the picture after
// the gap is built on the wrong reference.
TEST_F(FrameEncoderTest, AKeyFrameAfterALostPictureMakesThePictureWholeAgain) {
    const int width = 640, height = 360, lost = 3, frames = 6;
    auto decodeWithGap = [&](bool keyFrame, I420Picture *afterGap, int *errors, bool *sent) {
        FrameEncoder *encoder = nullptr;
        EXPECT_TRUE(RebuildFrameEncoder(&encoder, width, height, 4, 1));
        if (encoder == nullptr) return I420Picture{};
        I420Picture picture = ScreenPicture(width, height);
        Collected collected;
        for (int i = 0; i < frames; i++) {
            // A large block that moves and changes shade with every picture.
            for (int y = 40; y < 320; y++)
                memset(&picture.y[(size_t)y * width + 30 + i * 40], 30 + i * 35, 300);
            if (i == lost + 1) *afterGap = picture;
            encoder->keyFrameWanted = keyFrame && i == lost + 1;
            EXPECT_EQ(encoder->encode(encoder, picture.planes, 0, &collected), EncoderResultOk);
            encoder->framesEncoded++;
        }
        std::vector<uint8_t> header(encoder->codecHeader,
                                    encoder->codecHeader + encoder->codecHeaderLength);
        CloseFrameEncoder(encoder);
        EXPECT_EQ(collected.frames.size(), (size_t)frames);
        Decoder::errors = 0;
        Decoder decoder(header);
        *sent = decoder.opened();
        for (int i = 0; i <= lost + 1 && i < (int)collected.frames.size() && *sent; i++)
            if (i != lost) *sent = decoder.Send(&collected.frames[i]);
        if (*sent) *sent = decoder.Send(nullptr);
        *errors = Decoder::errors;
        return decoder.last();
    };
    I420Picture expected;
    int errors = 0;
    bool sent = false;
    I420Picture out = decodeWithGap(true, &expected, &errors, &sent);
    ASSERT_TRUE(sent);
    EXPECT_EQ(errors, 0);
    ASSERT_EQ(out.width, width);
    double whole = PlanePsnr(out.y.data(), expected.y.data(), width, height, width, width);
    EXPECT_GE(whole, 35.0);

    I420Picture broken = decodeWithGap(false, &expected, &errors, &sent);
    double stale = broken.width == width
                       ? PlanePsnr(broken.y.data(), expected.y.data(), width, height, width, width)
                       : 0.0;
    printf("after the lost picture: PSNR Y %.2f dB with the key frame, %.2f dB without "
           "(%d decoder errors)\n", whole, stale, errors);
    EXPECT_TRUE(!sent || errors > 0 || stale < 35.0)
        << "the comparison must tell a picture built on the wrong reference";
}
