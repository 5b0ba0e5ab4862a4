// The six entries as the audio driver uses them: configuration checks, the slot, the
// gathering of samples into frames, and safety against hostile sample values.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "aaceld/aaceld.h"
#include "eld_decode.h"
#include "eld_signals.h"

namespace {

EncoderConfig DriverConfig() {
    return {39, 128000, 3, 2, 44100, 44100, 5, 480, {0, 1, 0, 1, 1}};
}

struct OpenEncoder {
    AacEldEncoder *enc = nullptr;
    EncoderSlot slot{};
    explicit OpenEncoder(EncoderConfig config = DriverConfig()) {
        if (EncoderOpen(&config, &enc) == kEncoderOk && EncoderInit(enc, &slot) != kEncoderOk) {
            EncoderClose(enc);
            enc = nullptr;
        }
    }
    ~OpenEncoder() { EncoderClose(enc); }
};

std::vector<uint8_t> Asc(EncoderConfig config) {
    OpenEncoder e(config);
    EncoderInfo info{};
    if (!e.enc || EncoderGetInfo(e.enc, &info) != kEncoderOk) return {};
    return std::vector<uint8_t>(info.audioSpecificConfig,
                                info.audioSpecificConfig + info.audioSpecificConfigLength);
}

} // namespace

TEST(AacEldApi, RateRangeQuery) {
    int32_t lo = -1, pref = -1, hi = -1;
    ASSERT_EQ(EncoderQueryRateRange(39, 128000, 2, 1, &lo, &pref, &hi), kEncoderOk);
    EXPECT_EQ(lo, 44100);
    EXPECT_EQ(pref, 44100);
    EXPECT_EQ(hi, 48000);
    EXPECT_NE(EncoderQueryRateRange(2, 128000, 2, 1, &lo, &pref, &hi), kEncoderOk);
    EXPECT_EQ(lo, 0) << "a failed query reports no range";
    EXPECT_NE(EncoderQueryRateRange(39, 128000, 6, 1, &lo, &pref, &hi), kEncoderOk);
    EXPECT_NE(EncoderQueryRateRange(39, 128000, 2, 1, nullptr, &pref, &hi), kEncoderOk);
}

TEST(AacEldApi, DriverConfigurationGivesTheExpectedAudioSpecificConfig) {
    OpenEncoder e;
    ASSERT_NE(e.enc, nullptr);
    EncoderInfo info{};
    ASSERT_EQ(EncoderGetInfo(e.enc, &info), kEncoderOk);
    EXPECT_EQ(Asc(DriverConfig()), (std::vector<uint8_t>{0xF8, 0xE8, 0x50, 0x00}));
    EXPECT_EQ(info.frameLength, 480);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.sampleRate, 44100);
    EXPECT_LE(info.maxOutputBytes, 8000);
    EncoderConfig mono = DriverConfig();
    mono.channelMode = 1;
    EXPECT_EQ(Asc(mono), (std::vector<uint8_t>{0xF8, 0xE8, 0x30, 0x00}));
    EncoderConfig rate48 = DriverConfig();
    rate48.sampleRate = rate48.outputRate = 48000;
    EXPECT_EQ(Asc(rate48), (std::vector<uint8_t>{0xF8, 0xE6, 0x50, 0x00}));
    EXPECT_NE(EncoderGetInfo(nullptr, &info), kEncoderOk);
}

TEST(AacEldApi, OpenRejectsWhatTheCoreCannotDo) {
    AacEldEncoder *enc = reinterpret_cast<AacEldEncoder *>(1);
    auto rejects = [&](EncoderConfig c) {
        int32_t status = EncoderOpen(&c, &enc);
        bool ok = status != kEncoderOk && enc == nullptr;
        EncoderClose(enc);
        return ok;
    };
    EncoderConfig c = DriverConfig();
    c.objectType = 2;
    EXPECT_TRUE(rejects(c));
    c = DriverConfig();
    c.sampleRate = c.outputRate = 22050;
    EXPECT_TRUE(rejects(c));
    c = DriverConfig();
    c.frameLength = 512;
    EXPECT_TRUE(rejects(c));
    c = DriverConfig();
    c.channelMode = 3;
    EXPECT_TRUE(rejects(c));
    c = DriverConfig();
    c.outputRate = 48000;
    EXPECT_TRUE(rejects(c));
    c = DriverConfig();
    c.bitRate = 0;
    EXPECT_TRUE(rejects(c));
    c = DriverConfig();
    c.bitRate = 5000000;
    EXPECT_TRUE(rejects(c));
    EXPECT_NE(EncoderOpen(nullptr, &enc), kEncoderOk);
    EXPECT_NE(EncoderOpen(&c, nullptr), kEncoderOk);
    EncoderClose(nullptr);
}

TEST(AacEldApi, EncodeNeedsAnInitialisedEncoderAndItsOwnSlot) {
    EncoderConfig c = DriverConfig();
    AacEldEncoder *raw = nullptr;
    ASSERT_EQ(EncoderOpen(&c, &raw), kEncoderOk);
    std::vector<float> block(960, 0.0f);
    uint8_t out[8000];
    EncoderSlot blank{};
    EXPECT_LT(EncoderEncode(raw, block.data(), 960, &blank, out, sizeof(out)), 0)
        << "not initialised";
    EncoderClose(raw);

    OpenEncoder a, b;
    ASSERT_NE(a.enc, nullptr);
    ASSERT_NE(b.enc, nullptr);
    EXPECT_LT(EncoderEncode(a.enc, block.data(), 960, &b.slot, out, sizeof(out)), 0)
        << "another encoder's slot";
    EXPECT_LT(EncoderEncode(a.enc, block.data(), 961, &a.slot, out, sizeof(out)), 0)
        << "half a sample frame";
    EXPECT_LT(EncoderEncode(a.enc, nullptr, 960, &a.slot, out, sizeof(out)), 0);
    EXPECT_LT(EncoderEncode(a.enc, block.data(), 960, &a.slot, nullptr, sizeof(out)), 0);
    EXPECT_LT(EncoderEncode(a.enc, block.data(), 960, &a.slot, out, 2), 0) << "output too small";
    EXPECT_GT(EncoderEncode(a.enc, block.data(), 960, &a.slot, out, sizeof(out)), 0);
    // After a good frame, a too-small buffer must still fail rather than repeat old data.
    EXPECT_LT(EncoderEncode(a.enc, block.data(), 960, &a.slot, out, 2), 0);
}

TEST(AacEldApi, SamplesGatherIntoWholeFrames) {
    OpenEncoder e;
    ASSERT_NE(e.enc, nullptr);
    std::vector<float> in = SignalSine(0.1, 1000, 0.5);
    uint8_t out[8000];
    // 200 sample frames at a time: output only on the calls that complete 480.
    int produced = 0, calls = 0;
    size_t gathered = 0;
    for (size_t pos = 0; pos + 400 <= in.size(); pos += 400, calls++) {
        gathered += 200;
        int n = EncoderEncode(e.enc, in.data() + pos, 400, &e.slot, out, sizeof(out));
        ASSERT_GE(n, 0);
        if (gathered >= 480) {
            EXPECT_GT(n, 0) << "call " << calls;
            gathered -= 480;
            produced++;
        } else {
            EXPECT_EQ(n, 0) << "call " << calls;
        }
    }
    EXPECT_EQ(produced, (int)(calls * 200 / 480));
    EXPECT_EQ(EncoderEncode(e.enc, nullptr, 0, &e.slot, out, sizeof(out)), 0);
}

TEST(AacEldApi, OversizedInputIsRefusedWithoutBreakingTheStream) {
    OpenEncoder e;
    ASSERT_NE(e.enc, nullptr);
    std::vector<float> huge(2 * 9000, 0.1f);
    uint8_t out[8000];
    EXPECT_LT(EncoderEncode(e.enc, huge.data(), (int)huge.size(), &e.slot, out, sizeof(out)), 0);
    std::vector<float> block(960, 0.1f);
    EXPECT_GT(EncoderEncode(e.enc, block.data(), 960, &e.slot, out, sizeof(out)), 0);
}

TEST(AacEldApi, HostileSampleValuesGiveValidFrames) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float denormal = std::numeric_limits<float>::denorm_min();
    std::vector<float> in = SignalSine(1.0, 1000, 0.5);
    const size_t frames = in.size() / 2;
    // First half hostile, second half a clean tone to show the state recovers.
    for (size_t i = 0; i < frames / 2; i++) {
        switch (i % 7) {
        case 0:
            in[2 * i] = nan;
            break;
        case 1:
            in[2 * i + 1] = inf;
            break;
        case 2:
            in[2 * i] = -inf;
            break;
        case 3:
            in[2 * i] = denormal, in[2 * i + 1] = -denormal;
            break;
        case 4:
            in[2 * i] = std::numeric_limits<float>::max();
            break;
        case 5:
            in[2 * i + 1] = -std::numeric_limits<float>::max();
            break;
        default:
            in[2 * i] = 1e-39f;
            break;
        }
    }
    std::vector<float> denormals(2 * 44160, 3 * denormal);
    in.insert(in.end(), denormals.begin(), denormals.end());
    auto packets = EldEncodeSignal(in, 2, 128000);
    ASSERT_EQ(packets.size(), in.size() / 960);
    for (const auto &p : packets)
        ASSERT_FALSE(p.empty());
    const uint8_t asc[4] = {0xF8, 0xE8, 0x50, 0x00};
    EldDecodeResult r = EldDecodePackets(packets, asc, 4, 44100, 2);
    EXPECT_EQ(r.errors, 0);
    EXPECT_EQ(r.log, "");
    ASSERT_EQ(r.samples.size(), in.size());
    for (float v : r.samples)
        ASSERT_TRUE(std::isfinite(v));
    double snr = EldSnrDb(in, r.samples, 2, 1, 240, frames / 2 + 4096, frames - 1024);
    EXPECT_GT(snr, 30.0) << "the tone after the hostile part must come through";
    EXPECT_EQ(packets.back(), (std::vector<uint8_t>{0x00, 0x64, 0x32, 0x00}))
        << "denormals code as silence";
}

TEST(AacEldApi, MonoStreamDecodes) {
    std::vector<float> stereo = SignalSweep(1.0, 100, 10000, 0.5);
    std::vector<float> mono(stereo.size() / 2);
    for (size_t i = 0; i < mono.size(); i++)
        mono[i] = stereo[2 * i];
    auto packets = EldEncodeSignal(mono, 1, 64000);
    ASSERT_EQ(packets.size(), mono.size() / 480);
    const uint8_t asc[4] = {0xF8, 0xE8, 0x30, 0x00};
    EldDecodeResult r = EldDecodePackets(packets, asc, 4, 44100, 1);
    EXPECT_EQ(r.errors, 0);
    EXPECT_EQ(r.log, "");
    ASSERT_EQ(r.samples.size(), mono.size());
    EXPECT_GT(EldSnrDb(mono, r.samples, 1, 0, 240, 2048, mono.size() - 2048), 25.0);
}
