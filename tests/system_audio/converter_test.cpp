// The rate converter and the block staging, without a sound server.
#include "system_audio/block_stager.h"
#include "system_audio/sample_rate_converter.h"
#include "tests/support/log_capture.h"
#include "tests/system_audio/pulse_server.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

std::vector<int16_t> Tone(int rate, double frequency, size_t frames, size_t offset = 0) {
    std::vector<int16_t> samples(frames * 2);
    for (size_t i = 0; i < frames; i++) {
        const double value = 0.5 * std::sin(2 * M_PI * frequency * (i + offset) / rate);
        samples[2 * i] = samples[2 * i + 1] = static_cast<int16_t>(std::lround(value * 32767));
    }
    return samples;
}

// 48000 Hz packets of 480 frames come out at 44100 Hz: about 441 frames each once primed,
// the tone's frequency and level intact across packet borders, and a too-small output
// buffer refused without disturbing the stream.
TEST(SampleRateConverter, ConvertsFortyEightKilohertzPacketsToFortyFourOne) {
    LogCapture log;
    SampleRateConverter *converter = nullptr;
    PcmFormat input = {48000, 2, 16}, output = {44100, 2, 16};
    ASSERT_TRUE(SampleRateConverterCreate(&converter, &input, &output));

    std::vector<int16_t> converted;
    std::vector<uint8_t> buffer(176400);
    size_t offset = 0;
    int firstResult = -2;
    for (int packet = 0; packet < 200; packet++) {
        std::vector<int16_t> in = Tone(48000, 1000, 480, offset);
        if (packet == 50) {
            // Refused before the converter sees it: the same packet is then offered again.
            EXPECT_EQ(SampleRateConverterConvert(converter, in.data(), 480, buffer.data(), 1919),
                      -1);
            EXPECT_TRUE(log.Contains("Insufficient buffer size for sample conversion (1919 "
                                     "wanted 1920)"));
        }
        const int bytes = SampleRateConverterConvert(converter, in.data(), 480, buffer.data(),
                                                     static_cast<int>(buffer.size()));
        if (packet == 0) firstResult = bytes;
        ASSERT_GE(bytes, 0);
        ASSERT_EQ(bytes % 4, 0);
        if (packet >= 20) {
            EXPECT_GE(bytes / 4, 400) << "packet " << packet;
            EXPECT_LE(bytes / 4, 480) << "packet " << packet;
        }
        const int16_t *out = reinterpret_cast<const int16_t *>(buffer.data());
        converted.insert(converted.end(), out, out + bytes / 2);
        offset += 480;
    }
    if (firstResult == 0) {
        EXPECT_TRUE(log.Contains("Need more input"));
    }
    // 96000 input frames are 88200 output frames, less what the filter still holds.
    const size_t frames = converted.size() / 2;
    EXPECT_GT(frames, 88200u - 300);
    EXPECT_LE(frames, 88200u);
    // A dropped or doubled packet would show as a phase jump: measure across the refused one.
    ToneMeasure measure = MeasureTone(converted.data() + 10000 * 2, 44100, 44100, 1000);
    EXPECT_NEAR(measure.peakHz, 1000, 10);
    EXPECT_NEAR(measure.toneRms, 0.5 / std::sqrt(2.0), 0.01);
    const double noise =
        std::sqrt(std::max(0.0, measure.rms * measure.rms - measure.toneRms * measure.toneRms));
    EXPECT_GT(20 * std::log10(measure.toneRms / noise), 60.0);
    SampleRateConverterDestroy(converter);
}

TEST(SampleRateConverter, RefusesFormatsItCannotCarry) {
    SampleRateConverter *converter = nullptr;
    PcmFormat input = {48000, 2, 24}, output = {44100, 2, 16};
    EXPECT_FALSE(SampleRateConverterCreate(&converter, &input, &output));
    input.bitsPerSample = 16;
    output.channels = 1;
    EXPECT_FALSE(SampleRateConverterCreate(&converter, &input, &output));
    EXPECT_EQ(converter, nullptr);
}

struct Delivered {
    std::vector<int> frames;
    std::vector<int16_t> samples;
};

void Collect(void *context, const int16_t *block, int frames) {
    Delivered *delivered = static_cast<Delivered *>(context);
    delivered->frames.push_back(frames);
    delivered->samples.insert(delivered->samples.end(), block, block + frames * 2);
}

// Packets of 441 frames: nothing, then one block with 402 left, then one with 363 left; a
// packet that fills the stage exactly empties it; the samples come out in order.
TEST(AudioBlockStager, CutsPacketsIntoBlocksOfFourHundredEighty) {
    AudioBlockStager stager;
    AudioBlockStagerInit(&stager, 2);
    Delivered delivered;
    std::vector<int16_t> counting(441 * 2 * 4);
    for (size_t i = 0; i < counting.size(); i++)
        counting[i] = static_cast<int16_t>(i);
    const int16_t *next = counting.data();
    AudioBlockStagerPush(&stager, next, 441, Collect, &delivered);
    EXPECT_TRUE(delivered.frames.empty());
    EXPECT_EQ(stager.frames, 441);
    AudioBlockStagerPush(&stager, next += 882, 441, Collect, &delivered);
    EXPECT_EQ(delivered.frames, std::vector<int>({480}));
    EXPECT_EQ(stager.frames, 402);
    AudioBlockStagerPush(&stager, next += 882, 441, Collect, &delivered);
    EXPECT_EQ(delivered.frames, std::vector<int>({480, 480}));
    EXPECT_EQ(stager.frames, 363);
    AudioBlockStagerPush(&stager, next += 882, 117, Collect, &delivered);
    EXPECT_EQ(delivered.frames.size(), 3u);
    EXPECT_EQ(stager.frames, 0);
    for (size_t i = 0; i < delivered.samples.size(); i++)
        ASSERT_EQ(delivered.samples[i], static_cast<int16_t>(i));
    // One large packet yields several blocks at once.
    std::vector<int16_t> large(1000 * 2);
    AudioBlockStagerPush(&stager, large.data(), 1000, Collect, &delivered);
    EXPECT_EQ(delivered.frames.size(), 5u);
    EXPECT_EQ(stager.frames, 40);
}

} // namespace
