// Bit rate: the mean over long signals follows the configured rate, and no access unit
// exceeds what a decoder accepts for a channel pair.
#include <gtest/gtest.h>

#include <cstdio>

#include "eld_decode.h"
#include "eld_signals.h"

namespace {

const uint8_t kAsc[4] = {0xF8, 0xE8, 0x50, 0x00};
constexpr double kFramesPerSecond = 44100.0 / 480.0;
constexpr size_t kMaxFrameBytes = 2 * 6144 / 8;

struct RateStats {
    double meanBitRate;
    size_t largestFrame; // bytes
};

RateStats Measure(const std::vector<std::vector<uint8_t>> &packets) {
    size_t total = 0, largest = 0;
    for (const auto &p : packets) {
        total += p.size();
        largest = std::max(largest, p.size());
    }
    return {total * 8.0 * kFramesPerSecond / (double)packets.size(), largest};
}

} // namespace

TEST(AacEldRate, TenSecondsOfNoiseAndMusicKeepTheMeanRate) {
    struct Case {
        const char *name;
        std::vector<float> signal;
    };
    Case cases[] = {{"white noise", SignalWhiteNoise(10.0, 0.5, 11)},
                    {"pink noise", SignalPinkNoise(10.0, 0.5, 12)},
                    {"music-like", SignalMusicLike(10.0, 13)}};
    for (const Case &c : cases) {
        auto packets = EldEncodeSignal(c.signal, 2, 128000);
        ASSERT_EQ(packets.size(), c.signal.size() / 960) << c.name;
        RateStats s = Measure(packets);
        printf("%-12s mean %.0f bit/s (%.2f%% of 128000), largest frame %zu bits\n", c.name,
               s.meanBitRate, 100.0 * s.meanBitRate / 128000.0, s.largestFrame * 8);
        EXPECT_NEAR(s.meanBitRate, 128000.0, 0.05 * 128000.0) << c.name;
        EXPECT_LE(s.largestFrame, kMaxFrameBytes) << c.name;
    }
}

TEST(AacEldRate, ExtremeRatesStayDecodableAndBounded) {
    // The lowest rate forces coarse steps and a narrow band; the highest pushes values into
    // the escape range and frames toward the decoder's limit.
    for (int bitRate : {32000, 64000, 256000, 1000000}) {
        std::vector<float> in = SignalMusicLike(2.0, 21);
        std::vector<float> noise = SignalWhiteNoise(1.0, 0.9, 22);
        in.insert(in.end(), noise.begin(), noise.end());
        auto packets = EldEncodeSignal(in, 2, bitRate);
        ASSERT_EQ(packets.size(), in.size() / 960);
        RateStats s = Measure(packets);
        printf("%7d bit/s: mean %.0f bit/s, largest frame %zu bits\n", bitRate, s.meanBitRate,
               s.largestFrame * 8);
        EXPECT_LE(s.largestFrame, kMaxFrameBytes);
        EXPECT_LE(s.meanBitRate, bitRate * 1.05);
        // Leaving much of the budget unused throws quality away (a rate search that
        // misjudges the bits does that).
        EXPECT_GE(s.meanBitRate, bitRate * 0.9);
        EldDecodeResult r = EldDecodePackets(packets, kAsc, 4, 44100, 2);
        EXPECT_EQ(r.errors, 0) << bitRate;
        EXPECT_EQ(r.log, "") << bitRate;
        EXPECT_EQ(r.framesDecoded, (int)packets.size());
    }
}

TEST(AacEldRate, SilenceAfterLoudInputShrinksToMinimalFrames) {
    std::vector<float> in = SignalWhiteNoise(1.0, 0.5, 5);
    in.resize(in.size() + 2 * 44160, 0.0f);
    auto packets = EldEncodeSignal(in, 2, 128000);
    ASSERT_FALSE(packets.empty());
    // Once the filterbank history has drained, a frame is the 4-byte silent frame.
    const auto &last = packets.back();
    EXPECT_EQ(last, (std::vector<uint8_t>{0x00, 0x64, 0x32, 0x00}));
}
