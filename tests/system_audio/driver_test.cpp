// The audio encoder driver: sample conversion, its start and stop rules, and the whole
// path from a played tone to AAC-ELD frames that a reference decoder turns back into it.
#include "aaceld/aaceld.h"
#include "system_audio/audio_encoder_driver.h"
#include "tests/aaceld/eld_decode.h"
#include "tests/support/log_capture.h"
#include "tests/support/wait.h"
#include "tests/system_audio/pulse_server.h"

#include <atomic>
#include <cmath>
#include <ctime>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <mutex>
#include <pulse/pulseaudio.h>

// A sound server that will not start a recording: with failCork set, uncorking a stream
// fails as it does when the server drops the stream between its set-up and its start.
static std::atomic<bool> failCork{false};

extern "C" pa_operation *pa_stream_cork(pa_stream *stream, int cork, pa_stream_success_cb_t done,
                                        void *userdata) {
    using CorkFn = pa_operation *(*)(pa_stream *, int, pa_stream_success_cb_t, void *);
    static const CorkFn real = reinterpret_cast<CorkFn>(dlsym(RTLD_NEXT, "pa_stream_cork"));
    if (cork == 0 && failCork.load()) return nullptr;
    return real(stream, cork, done, userdata);
}

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
    StopSystemAudio(nullptr);
    EXPECT_FALSE(log.Contains("CaptureAudio: Stopping..."));
    EncoderConfig config;
    AudioEncoderDefaultConfig(&config);
    config.objectType = 2;
    EXPECT_EQ(0, StartSystemAudioWithConfig(&config, nullptr, NeverCalled, nullptr));
    EXPECT_TRUE(log.Contains("Configuration not supported!"));
    EXPECT_TRUE(log.Contains("Audio Device Unavailable, disconnecting..."));
    EXPECT_EQ(SystemAudioIsActive(), 0);
    AudioEncoderDefaultConfig(&config);
    config.frameLength = 512;
    EXPECT_EQ(0, StartSystemAudioWithConfig(&config, nullptr, NeverCalled, nullptr));
    EXPECT_EQ(SystemAudioIsActive(), 0);
    StopSystemAudio(nullptr);
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
    ASSERT_EQ(1, StartSystemAudio(&frames, OnFrame, nullptr));
    ASSERT_EQ(SystemAudioIsActive(), 1);
    EXPECT_NE(server.DefaultSink(), "speakers");
    EXPECT_EQ(1, StartSystemAudio(&frames, OnFrame, nullptr));
    EXPECT_FALSE(log.Contains("handing the system audio capture over"));
    EXPECT_EQ(SystemAudioIsActive(), 1);

    // 1.5 s of sound is 138 frames; the tone must fill the last second.
    ASSERT_TRUE(WaitUntil([&] { return frames.Count() >= 138; }, 15000))
        << "only " << frames.Count() << " frames";
    StopSystemAudio(&frames);
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

    EXPECT_EQ(1, StartSystemAudio(&frames, OnFrame, nullptr));
    EXPECT_EQ(SystemAudioIsActive(), 1);
    EXPECT_TRUE(WaitUntil([&] { return frames.Count() > afterStop; }, 10000));
    StopSystemAudio(&frames);
    EXPECT_EQ(server.DefaultSink(), "speakers");
    EndChild(player);
}

// A tone played on the speakers, waited for until the server shows its stream.
pid_t PlayTone(PulseServer &server, const std::string &name) {
    const std::string tone = server.RuntimeDir() + "/" + name + ".wav";
    if (!WriteToneWav(tone, 1000, 0.5, 44100, 60)) return -1;
    pid_t player = SpawnChild({"paplay", "--latency-msec=100", tone}, {.out = "/dev/null"});
    if (!WaitUntil([&] { return !server.Streams().empty(); }, 10000)) return -1;
    return player;
}

bool OutputIsTheUsers(PulseServer &server) {
    const int speakers = server.SinkIndex("speakers");
    for (auto &stream : server.Streams())
        if (stream.second != speakers) return false;
    return server.DefaultSink() == "speakers" && server.SinksStartingWith("ostrel_").empty();
}

// A capture that cannot start fails the start and leaves no driver behind: the output it
// had taken over goes back at once, not at the stream's end.
TEST(AudioEncoderDriver, CaptureThatCannotStartGivesTheOutputBack) {
    PulseServer server;
    ASSERT_TRUE(server.Start());
    pid_t player = PlayTone(server, "tone");
    ASSERT_GT(player, 0);
    LogCapture log;
    Frames frames;
    failCork = true;
    EXPECT_EQ(0, StartSystemAudio(&frames, OnFrame, nullptr));
    failCork = false;
    EXPECT_TRUE(log.Contains("Failed to start PulseAudio Audio Capture")) << log.Text();
    EXPECT_EQ(SystemAudioIsActive(), 0);
    EXPECT_TRUE(OutputIsTheUsers(server))
        << server.Pactl("list short sinks") << server.Pactl("list short sink-inputs");
    StopSystemAudio(&frames);
    EXPECT_TRUE(OutputIsTheUsers(server));
    EndChild(player);
}

// Two streams overlapping, as when another receiver is chosen while the previous stream
// still stops: the newer one gets the sound, and the older one's late stop leaves it be.
TEST(AudioEncoderDriver, NewerStreamTakesTheSoundOver) {
    PulseServer server;
    ASSERT_TRUE(server.Start());
    pid_t player = PlayTone(server, "tone");
    ASSERT_GT(player, 0);
    LogCapture log;
    Frames older, newer;
    ASSERT_EQ(1, StartSystemAudio(&older, OnFrame, nullptr));
    ASSERT_TRUE(WaitUntil([&] { return older.Count() >= 20; }, 10000));
    ASSERT_EQ(1, StartSystemAudio(&newer, OnFrame, nullptr));
    EXPECT_TRUE(WaitUntil([&] { return newer.Count() >= 20; }, 10000))
        << "the newer stream got no sound\n"
        << log.Text();
    const size_t olderAtHandOver = older.Count();
    StopSystemAudio(&older);
    const size_t newerAtOldStop = newer.Count();
    EXPECT_TRUE(WaitUntil([&] { return newer.Count() >= newerAtOldStop + 20; }, 10000))
        << "the older stream's stop ended the newer one's sound";
    EXPECT_EQ(older.Count(), olderAtHandOver) << "the older stream still got frames";
    StopSystemAudio(&newer);
    EXPECT_EQ(SystemAudioIsActive(), 0);
    EXPECT_TRUE(OutputIsTheUsers(server));
    EndChild(player);
}

} // namespace
