// The audio encoder driver: sample conversion, its start and stop rules, and the whole
// path from a played tone to AAC-ELD frames that a reference decoder turns back into it.
#include "aaceld/aaceld.h"
#include "system_audio/audio_encoder_driver.h"
#include "tests/aaceld/eld_decode.h"
#include "tests/support/log_capture.h"
#include "tests/support/wait.h"
#include "tests/system_audio/pulse_server.h"

#include <cmath>
#include <ctime>
#include <gtest/gtest.h>
#include <mutex>

namespace {

TEST(AudioEncoderDriver, ConvertsSamplesToUnitFloats) {
    const int16_t samples[] = {-32768, 32767, 0, -1, 16384, -16384};
    float out[6];
    AudioSamplesToFloat(samples, 6, out);
    EXPECT_EQ(out[0], -1.0f);
    EXPECT_EQ(out[1], 32767.0f / 32768.0f);
    EXPECT_EQ(out[2], 0.0f);
    EXPECT_EQ(out[3], -1.0f / 32768.0f);
    EXPECT_EQ(out[4], 0.5f);
    EXPECT_EQ(out[5], -0.5f);
}

void NeverCalled(void *, const uint8_t *, int64_t, uint64_t, void *) {
    ADD_FAILURE();
}

// A configuration the encoder refuses fails the audio start and nothing else: the process
// goes on, no driver is left, and a stop afterwards does nothing.
TEST(AudioEncoderDriver, RejectedConfigurationFailsOnlyTheStart) {
    LogCapture log;
    StopSystemAudio();
    EXPECT_FALSE(log.Contains("CaptureAudio: Stopping..."));
    EncoderConfig config;
    AudioEncoderDefaultConfig(&config);
    config.objectType = 2;
    StartSystemAudioWithConfig(&config, nullptr, NeverCalled);
    EXPECT_TRUE(log.Contains("Configuration not supported!"));
    EXPECT_TRUE(log.Contains("Audio Device Unavailable, disconnecting..."));
    EXPECT_EQ(SystemAudioIsActive(), 0);
    AudioEncoderDefaultConfig(&config);
    config.frameLength = 512;
    StartSystemAudioWithConfig(&config, nullptr, NeverCalled);
    EXPECT_EQ(SystemAudioIsActive(), 0);
    StopSystemAudio();
    EXPECT_FALSE(log.Contains("CaptureAudio: Stopping..."));
}

struct Frames {
    std::mutex lock;
    std::vector<std::vector<uint8_t>> packets;
    std::vector<uint64_t> times;
    void *driver = nullptr;
    int wrongContext = 0;

    size_t Count() {
        std::lock_guard<std::mutex> hold(lock);
        return packets.size();
    }
};

void OnFrame(void *driver, const uint8_t *payload, int64_t length, uint64_t captureTime,
             void *context) {
    Frames *frames = static_cast<Frames *>(context);
    std::lock_guard<std::mutex> hold(frames->lock);
    if (!driver) frames->wrongContext++;
    frames->packets.emplace_back(payload, payload + length);
    frames->times.push_back(captureTime);
}

// A tone played into the default sink comes out of the driver as AAC-ELD frames that the
// reference decoder reads without error as the same tone; a second start changes nothing;
// stop gives the output back and a new start builds a new driver.
TEST(AudioEncoderDriver, PlayedToneBecomesDecodableFrames) {
    PulseServer server;
    ASSERT_TRUE(server.Start());
    const std::string tone = server.RuntimeDir() + "/tone.wav";
    ASSERT_TRUE(WriteToneWav(tone, 1000, 0.5, 44100, 60));
    pid_t player = SpawnChild({"paplay", "--latency-msec=100", tone}, {.out = "/dev/null"});
    ASSERT_TRUE(WaitUntil([&] { return !server.Streams().empty(); }, 10000));

    LogCapture log;
    Frames frames;
    const time_t before = time(nullptr);
    StartSystemAudio(&frames, OnFrame);
    ASSERT_EQ(SystemAudioIsActive(), 1);
    EXPECT_NE(server.DefaultSink(), "speakers");
    StartSystemAudio(&frames, OnFrame);
    EXPECT_TRUE(log.Contains("Audio Device Unavailable, disconnecting..."));
    EXPECT_EQ(SystemAudioIsActive(), 1);

    // 1.5 s of sound is 138 frames; the tone must fill the last second.
    ASSERT_TRUE(WaitUntil([&] { return frames.Count() >= 138; }, 15000))
        << "only " << frames.Count() << " frames";
    StopSystemAudio();
    EXPECT_EQ(SystemAudioIsActive(), 0);
    EXPECT_TRUE(log.Contains("CaptureAudio: Encoder was closed..."));
    EXPECT_EQ(server.DefaultSink(), "speakers");
    const size_t afterStop = frames.Count();

    EXPECT_EQ(frames.wrongContext, 0);
    uint64_t previous = 0;
    for (size_t i = 0; i < frames.packets.size(); i++) {
        ASSERT_GE(frames.packets[i].size(), 1u);
        ASSERT_LE(frames.packets[i].size(), 8000u);
        const uint64_t seconds = frames.times[i] & 0xffffffffu;
        const uint64_t micros = frames.times[i] >> 32;
        ASSERT_LT(micros, 1000000u);
        ASSERT_GE(seconds, static_cast<uint64_t>(before));
        ASSERT_LE(seconds, static_cast<uint64_t>(time(nullptr)));
        const uint64_t stamp = seconds * 1000000 + micros;
        ASSERT_GE(stamp, previous);
        previous = stamp;
    }
    const uint8_t asc[] = {0xF8, 0xE8, 0x50, 0x00};
    EldDecodeResult decoded = EldDecodePackets(frames.packets, asc, 4, 44100, 2);
    EXPECT_EQ(decoded.errors, 0) << decoded.log;
    ASSERT_EQ(decoded.channels, 2);
    const size_t decodedFrames = decoded.samples.size() / 2;
    ASSERT_GE(decodedFrames, 44100u);
    ToneMeasure measure = MeasureToneFloat(decoded.samples.data() + (decodedFrames - 44100) * 2,
                                           44100, 2, 44100, 1000);
    EXPECT_NEAR(measure.peakHz, 1000, 10);
    EXPECT_NEAR(measure.toneRms, 0.5 / std::sqrt(2.0), 0.05);
    const double noise =
        std::sqrt(std::max(0.0, measure.rms * measure.rms - measure.toneRms * measure.toneRms));
    const double snr = 20 * std::log10(measure.toneRms / std::max(noise, 1e-9));
    EXPECT_GT(snr, 20.0);
    printf("capture -> AAC-ELD -> decoder: 1 kHz at %.3f rms, SNR %.1f dB over %zu frames\n",
           measure.toneRms, snr, frames.packets.size());
    EXPECT_EQ(frames.Count(), afterStop) << "a frame arrived after the stop returned";

    StartSystemAudio(&frames, OnFrame);
    EXPECT_EQ(SystemAudioIsActive(), 1);
    EXPECT_TRUE(WaitUntil([&] { return frames.Count() > afterStop; }, 10000));
    StopSystemAudio();
    EXPECT_EQ(server.DefaultSink(), "speakers");
    EndChild(player);
}

} // namespace
