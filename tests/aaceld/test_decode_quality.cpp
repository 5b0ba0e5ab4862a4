// Encodes test signals, decodes them with the reference decoder in libavcodec and checks
// that every frame is accepted silently, that the output lines up with the input after
// the decoder's delay, and how close it comes to the input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>

#include "aaceld/aaceld.h"
#include "eld_decode.h"
#include "eld_signals.h"

namespace {

const uint8_t kAsc[4] = {0xF8, 0xE8, 0x50, 0x00};

struct Coded {
    std::vector<std::vector<uint8_t>> packets;
    EldDecodeResult decoded;
};

Coded EncodeAndDecode(const std::vector<float> &in, int bitRate) {
    Coded c;
    c.packets = EldEncodeSignal(in, 2, bitRate);
    c.decoded = EldDecodePackets(c.packets, kAsc, 4, 44100, 2);
    return c;
}

void ExpectCleanDecode(const char *name, const std::vector<float> &in, const Coded &c) {
    SCOPED_TRACE(name);
    ASSERT_EQ(c.packets.size(), in.size() / 960);
    for (const auto &p : c.packets)
        ASSERT_FALSE(p.empty()) << "encoder reported an error";
    EXPECT_EQ(c.decoded.errors, 0);
    EXPECT_EQ(c.decoded.log, "");
    EXPECT_EQ(c.decoded.channels, 2);
    EXPECT_EQ(c.decoded.framesDecoded, (int)c.packets.size());
    EXPECT_EQ(c.decoded.samples.size(), in.size());
}

double Rms(const std::vector<float> &x, int channels, int channel, size_t from, size_t to) {
    double s = 0;
    for (size_t i = from; i < to; i++)
        s += (double)x[i * channels + channel] * x[i * channels + channel];
    return sqrt(s / (double)(to - from));
}

int CoderDelay() {
    EncoderConfig config = {39, 128000, 3, 2, 44100, 44100, 5, 480, {0, 1, 0, 1, 1}};
    AacEldEncoder *enc = nullptr;
    EncoderInfo info{};
    if (EncoderOpen(&config, &enc) != kEncoderOk || EncoderGetInfo(enc, &info) != kEncoderOk)
        info.delay = -1;
    EncoderClose(enc);
    return info.delay;
}

} // namespace

TEST(AacEldDecode, EverySignalDecodesWithoutWarnings) {
    struct Case {
        const char *name;
        std::vector<float> signal;
    };
    std::vector<float> clipped = SignalSine(1.0, 997, 2.0);
    for (float &v : clipped)
        v = v > 1.0f ? 1.0f : (v < -1.0f ? -1.0f : v);
    std::vector<Case> cases = {
        {"silence", std::vector<float>(2 * 44160, 0.0f)},
        {"full-scale 1 kHz", SignalSine(1.0, 1000, 1.0)},
        {"clipped 997 Hz", clipped},
        {"beyond full scale", SignalSine(0.5, 440, 3.0)},
        {"sine 50 Hz", SignalSine(1.0, 50, 0.5)},
        {"sine 200 Hz", SignalSine(1.0, 200, 0.5)},
        {"sine 1 kHz", SignalSine(1.0, 1000, 0.5)},
        {"sine 4 kHz", SignalSine(1.0, 4000, 0.5)},
        {"sine 10 kHz", SignalSine(1.0, 10000, 0.5)},
        {"sine 16 kHz", SignalSine(1.0, 16000, 0.5)},
        {"sweep 50 Hz-16 kHz", SignalSweep(3.0, 50, 16000, 0.5)},
        {"white noise", SignalWhiteNoise(2.0, 0.5, 1)},
        {"pink noise", SignalPinkNoise(2.0, 0.5, 2)},
        {"split stereo", SignalSplitStereo(1.0)},
        {"multi-tone", SignalMultiTone(2.0)},
        {"music-like", SignalMusicLike(2.0, 3)},
        {"clicks", SignalClicks(2.0, 4)},
    };
    const int delay = CoderDelay();
    printf("%-22s %9s %9s %9s\n", "signal (128 kbit/s)", "SNR L dB", "SNR R dB", "level dB");
    for (Case &c : cases) {
        Coded coded = EncodeAndDecode(c.signal, 128000);
        // The coder clips to the 16-bit range; compare with what it could represent.
        for (float &v : c.signal)
            v = v > 32767.0f / 32768.0f ? 32767.0f / 32768.0f : (v < -1.0f ? -1.0f : v);
        ExpectCleanDecode(c.name, c.signal, coded);
        const size_t frames = c.signal.size() / 2, from = 2048, to = frames - 2048;
        const auto &out = coded.decoded.samples;
        if (out.size() != c.signal.size()) continue;
        double inRms = Rms(c.signal, 2, 0, from, to);
        if (inRms == 0) {
            EXPECT_EQ(Rms(out, 2, 0, 0, frames) + Rms(out, 2, 1, 0, frames), 0.0)
                << "silence must decode to silence";
            printf("%-22s %9s %9s %9s\n", c.name, "-", "-", "-");
            continue;
        }
        // Level after the delay: noise-like signals cannot keep a high SNR, but their level must
        // hold.
        double outRms = Rms(out, 2, 0, from + delay, to + delay);
        double levelDb = 20 * log10(outRms / inRms);
        EXPECT_LT(fabs(levelDb), 1.5) << c.name;
        printf("%-22s %9.1f %9.1f %+9.2f\n", c.name, EldSnrDb(c.signal, out, 2, 0, delay, from, to),
               EldSnrDb(c.signal, out, 2, 1, delay, from, to), levelDb);
    }
}

TEST(AacEldDecode, OutputAlignsWithInputAfterTheReportedDelay) {
    // Non-periodic signals give one clear correlation peak.
    for (auto signal : {SignalSweep(2.0, 50, 16000, 0.5), SignalWhiteNoise(1.0, 0.3, 9)}) {
        Coded coded = EncodeAndDecode(signal, 128000);
        ASSERT_EQ(coded.decoded.samples.size(), signal.size());
        int left = EldFindDelay(signal, coded.decoded.samples, 2, 0, 2000);
        int right = EldFindDelay(signal, coded.decoded.samples, 2, 1, 2000);
        EXPECT_EQ(left, CoderDelay());
        EXPECT_EQ(right, CoderDelay());
    }
}

static double SweepSnr(int bitRate) {
    std::vector<float> in = SignalSweep(4.0, 50, 16000, 0.5);
    Coded coded = EncodeAndDecode(in, bitRate);
    EXPECT_EQ(coded.decoded.log, "");
    const int delay = EldFindDelay(in, coded.decoded.samples, 2, 0, 2000);
    const size_t frames = in.size() / 2;
    double l = EldSnrDb(in, coded.decoded.samples, 2, 0, delay, 2048, frames - 2048);
    double r = EldSnrDb(in, coded.decoded.samples, 2, 1, delay, 2048, frames - 2048);
    printf("sweep 50 Hz-16 kHz at %d bit/s: SNR %.1f dB / %.1f dB\n", bitRate, l, r);
    return std::min(l, r);
}

TEST(AacEldQuality, SweepAt128kbps) {
    EXPECT_GE(SweepSnr(128000), 25.0);
}

TEST(AacEldQuality, SweepAt512kbps) {
    EXPECT_GE(SweepSnr(512000), 50.0);
}

TEST(AacEldQuality, StereoMultiToneAt128kbps) {
    std::vector<float> in = SignalMultiTone(3.0);
    Coded coded = EncodeAndDecode(in, 128000);
    EXPECT_EQ(coded.decoded.log, "");
    const int delay = EldFindDelay(in, coded.decoded.samples, 2, 0, 2000);
    const size_t frames = in.size() / 2;
    double l = EldSnrDb(in, coded.decoded.samples, 2, 0, delay, 2048, frames - 2048);
    double r = EldSnrDb(in, coded.decoded.samples, 2, 1, delay, 2048, frames - 2048);
    printf("multi-tone, 11 tones 110 Hz-11 kHz at 128000 bit/s: SNR %.1f dB / %.1f dB\n", l, r);
    EXPECT_GE(l, 15.0);
    EXPECT_GE(r, 15.0);
}

TEST(AacEldQuality, ChannelsAreNeitherSwappedNorMixed) {
    std::vector<float> in = SignalSplitStereo(2.0);
    Coded coded = EncodeAndDecode(in, 128000);
    const auto &out = coded.decoded.samples;
    ASSERT_EQ(out.size(), in.size());
    const int delay = CoderDelay();
    const size_t frames = in.size() / 2;
    // Each output channel matches its own input closely...
    EXPECT_GE(EldSnrDb(in, out, 2, 0, delay, 2048, frames - 2048), 25.0);
    EXPECT_GE(EldSnrDb(in, out, 2, 1, delay, 2048, frames - 2048), 25.0);
    // ...and carries almost nothing of the other one.
    double leakLeft = 0, leakRight = 0, norm = 0;
    for (size_t i = 2048; i < frames - 2048; i++) {
        leakLeft += out[(i + delay) * 2] * in[i * 2 + 1];
        leakRight += out[(i + delay) * 2 + 1] * in[i * 2];
        norm += in[i * 2 + 1] * in[i * 2 + 1];
    }
    EXPECT_LT(fabs(leakLeft / norm), 0.01);
    EXPECT_LT(fabs(leakRight / norm), 0.01);
}
