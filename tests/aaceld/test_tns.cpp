// Noise shaping across frequency: engaged on attacks only, exactly undone by the
// decoder's filter, and applied to the same lines the decoder filters.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "aaceld/eld_filterbank.h"
#include "aaceld/eld_tns.h"
#include "eld_decode.h"
#include "eld_signals.h"

namespace {

// Spectrum of a frame whose newest 200 samples hold a burst after silence.
std::vector<float> AttackSpectrum(uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-20000.0f, 20000.0f);
    std::vector<float> history(kEldHistoryLength, 0.0f), spectrum(480);
    for (int i = kEldHistoryLength - 200; i < kEldHistoryLength; i++)
        history[i] = dist(rng);
    EldAnalyze(history.data(), spectrum.data());
    return spectrum;
}

} // namespace

TEST(AacEldTns, EngagesOnAttacksAndIsUndoneByTheDecoderFilter) {
    for (uint32_t seed = 1; seed <= 5; seed++) {
        std::vector<float> x = AttackSpectrum(seed), y = x;
        EldTnsFilter filter{};
        ASSERT_EQ(EldTnsAnalyze(y.data(), 32, &filter), 1)
            << "an attack should be shaped, seed " << seed;
        EXPECT_GT(filter.order, 0);
        EXPECT_EQ(filter.length, kEldBandCount - kEldTnsStartBand);
        double energyIn = 0, energyOut = 0, diff = 0;
        for (int i = 0; i < 480; i++)
            energyIn += (double)x[i] * x[i], energyOut += (double)y[i] * y[i];
        EXPECT_LT(energyOut, energyIn) << "the residual is what gets quantised: it must be smaller";
        EldTnsSynthesize(y.data(), 32, &filter);
        for (int i = 0; i < 480; i++)
            diff = std::max(diff, (double)fabsf(x[i] - y[i]));
        EXPECT_LT(diff, 1e-4 * sqrt(energyIn / 480)) << "seed " << seed;
        // Lines outside the filtered bands are never touched.
        for (int i = 0; i < kSwbOffset480[kEldTnsStartBand]; i++)
            ASSERT_EQ(x[i], y[i]);
    }
}

TEST(AacEldTns, StaysOffForSteadyNoise) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> dist(-20000.0f, 20000.0f);
    std::vector<float> history(kEldHistoryLength), spectrum(480);
    for (float &v : history)
        v = dist(rng);
    EldAnalyze(history.data(), spectrum.data());
    std::vector<float> before = spectrum;
    EldTnsFilter filter{};
    EXPECT_EQ(EldTnsAnalyze(spectrum.data(), 32, &filter), 0);
    EXPECT_EQ(filter.order, 0);
    EXPECT_EQ(spectrum, before);
}

TEST(AacEldTns, DecoderFiltersTheSameLinesAtBothRates) {
    // At a rate this high the coder error is tiny, so any line the decoder filters
    // differently from the coder shows up as a large error.
    std::vector<float> in = SignalClicks(2.0, 8);
    const size_t frames = in.size() / 2;
    struct Rate {
        int hz;
        uint8_t asc[4];
    } rates[] = {{44100, {0xF8, 0xE8, 0x50, 0x00}}, {48000, {0xF8, 0xE6, 0x50, 0x00}}};
    for (const Rate &r : rates) {
        auto packets = EldEncodeSignal(in, 2, 1000000, r.hz);
        EldDecodeResult out = EldDecodePackets(packets, r.asc, 4, r.hz, 2);
        EXPECT_EQ(out.log, "");
        ASSERT_EQ(out.samples.size(), in.size());
        double snr = EldSnrDb(in, out.samples, 2, 0, 240, 2048, frames - 2048);
        printf("clicks at 1000000 bit/s, %d Hz: SNR %.1f dB\n", r.hz, snr);
        EXPECT_GT(snr, 35.0) << r.hz;
    }
}
