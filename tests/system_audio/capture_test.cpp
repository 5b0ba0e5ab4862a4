// System audio capture against a real PulseAudio server started by the test.
#include "system_audio/ov_system_audio.h"
#include "tests/support/log_capture.h"
#include "tests/support/wait.h"
#include "tests/system_audio/pulse_server.h"

#include <alsa/asoundlib.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <pulse/pulseaudio.h>
#include <unistd.h>

namespace {

constexpr int kDeliveredRate = 44100;

struct Blocks {
    std::mutex lock;
    std::vector<int16_t> samples;
    int badBlocks = 0;
    std::atomic<int> lost{0};

    size_t Frames() {
        std::lock_guard<std::mutex> hold(lock);
        return samples.size() / 2;
    }
    // The most recent frames frames, copied.
    std::vector<int16_t> Last(size_t frames) {
        std::lock_guard<std::mutex> hold(lock);
        const size_t count = std::min(samples.size(), frames * 2);
        return std::vector<int16_t>(samples.end() - count, samples.end());
    }
};

void OnBlock(OvSystemAudio *, const int16_t *samples, int frames, int bytes, void *context) {
    Blocks *blocks = static_cast<Blocks *>(context);
    std::lock_guard<std::mutex> hold(blocks->lock);
    if (frames != 480 || bytes != 1920) blocks->badBlocks++;
    blocks->samples.insert(blocks->samples.end(), samples, samples + frames * 2);
}

bool HasLoudChunk(const std::vector<int> &peaks) {
    for (int peak : peaks)
        if (peak > 8000) return true;
    return false;
}

class PulseFixture : public ::testing::Test {
  protected:
    virtual int Rate() { return kDeliveredRate; }
    void SetUp() override {
        ASSERT_TRUE(server.Start(Rate())) << "pulseaudio did not start";
        tone = server.RuntimeDir() + "/tone.wav";
        ASSERT_TRUE(WriteToneWav(tone, 1000, 0.5, 44100, 60));
        // A second player gets another pitch: two copies of one tone can cancel out.
        otherTone = server.RuntimeDir() + "/other.wav";
        ASSERT_TRUE(WriteToneWav(otherTone, 1500, 0.5, 44100, 60));
        speakers = server.SinkIndex("speakers");
    }
    void TearDown() override {
        for (pid_t player : players)
            EndChild(player);
        server.Stop();
    }
    // Starts a player on the default sink and waits until its stream shows up on sink.
    bool Play(int sink) { return PlayOn(tone, "", sink) >= 0; }
    // Starts a player of file on device (the default sink when empty) and waits until its
    // stream shows up on sink; the stream's index, or -1.
    int PlayOn(const std::string &file, const std::string &device, int sink) {
        const size_t before = server.Streams().size();
        std::vector<std::string> command = {"paplay", "--latency-msec=100"};
        if (!device.empty()) command.push_back("--device=" + device);
        command.push_back(file);
        players.push_back(SpawnChild(command, {.out = "/dev/null"}));
        int stream = -1;
        WaitUntil(
            [&] {
                auto streams = server.Streams();
                if (streams.size() <= before || streams.back().second != sink) return false;
                stream = streams.back().first;
                return true;
            },
            10000);
        return stream;
    }
    int SinkOf(int stream) {
        for (auto &[index, sink] : server.Streams())
            if (index == stream) return sink;
        return -1;
    }
    bool AllStreamsOn(int sink) {
        auto streams = server.Streams();
        for (auto &stream : streams)
            if (stream.second != sink) return false;
        return !streams.empty();
    }

    PulseServer server;
    std::string tone;
    std::string otherTone;
    int speakers = -1;
    std::vector<pid_t> players;
};

class PulseCapture : public PulseFixture, public ::testing::WithParamInterface<int> {
  protected:
    int Rate() override { return GetParam(); }
};

// The tone played into the default sink arrives in 480-frame blocks at 44100 Hz with its
// frequency and level, the original sink's monitor is silent meanwhile, a stream started
// during capture joins it, and stop gives the default sink back and every stream its own
// sink: streams the user sent to another sink than the default return there.
TEST_P(PulseCapture, CapturesThePlayedToneAndGivesTheOutputBack) {
    server.Pactl("load-module module-null-sink sink_name=headphones channels=2");
    ASSERT_TRUE(WaitUntil([&] { return server.SinkIndex("headphones") >= 0; }, 10000));
    const int headphones = server.SinkIndex("headphones");
    const int speakersStream = PlayOn(tone, "", speakers);
    ASSERT_GE(speakersStream, 0);
    // Silent, so that what the capture hears stays the tone alone.
    const std::string silence = server.RuntimeDir() + "/silence.wav";
    ASSERT_TRUE(WriteToneWav(silence, 1000, 0, 44100, 60));
    const int headphonesStream = PlayOn(silence, "headphones", headphones);
    ASSERT_GE(headphonesStream, 0);
    SourceRecorder monitor;
    ASSERT_TRUE(monitor.Start("speakers.monitor"));
    ASSERT_TRUE(WaitUntil([&] { return HasLoudChunk(monitor.Peaks(0)); }, 10000))
        << "the tone never reached the speakers' monitor";

    LogCapture log;
    Blocks blocks;
    OvSystemAudio *capture = nullptr;
    ASSERT_TRUE(OvSystemAudioCreate(&capture, 2, OnBlock, &blocks));
    EXPECT_EQ(OvSystemAudioIsLoopback(capture), 1);
    EXPECT_TRUE(log.Contains("Muting PC, will un-mute when audio is stopped!"));
    const std::string privateSink = "ostrel_capture_" + std::to_string(getpid());
    // The converter exists exactly when the monitor the capture opened runs at another rate
    // (PulseAudio mixes at the rate it was given; PipeWire's pulse server keeps its own).
    const std::string text = log.Text();
    const size_t rateAt = text.find("Sample Rate:");
    ASSERT_NE(rateAt, std::string::npos);
    const int openedRate = atoi(text.c_str() + rateAt + strlen("Sample Rate:"));
    if (!getenv("OSTREL_TEST_SOUND_SERVER")) {
        EXPECT_EQ(openedRate, GetParam());
    }
    EXPECT_EQ(log.Contains("Need to create samplerate converter"), openedRate != kDeliveredRate);
    const int privateIndex = server.SinkIndex(privateSink);
    ASSERT_GE(privateIndex, 0);
    EXPECT_EQ(server.DefaultSink(), privateSink);
    EXPECT_TRUE(AllStreamsOn(privateIndex));

    ASSERT_TRUE(OvSystemAudioStart(capture));
    // A busy machine can make the player miss its deadline now and then, which leaves a gap
    // in what the server mixes: wait for a clean half second (a wrong rate, lost or doubled
    // packets or misaligned samples never give one).
    ToneMeasure measure = {0, 0, 0};
    double snr = 0;
    const auto clean = [&] {
        if (blocks.Frames() < kDeliveredRate * 1.5) return false;
        std::vector<int16_t> last = blocks.Last(kDeliveredRate / 2);
        measure = MeasureTone(last.data(), last.size() / 2, kDeliveredRate, 1000);
        const double noise =
            std::sqrt(std::max(0.0, measure.rms * measure.rms - measure.toneRms * measure.toneRms));
        snr = 20 * std::log10(measure.toneRms / std::max(noise, 1e-9));
        return std::fabs(measure.peakHz - 1000) <= 10 &&
               std::fabs(measure.toneRms - 0.5 / std::sqrt(2.0)) <= 0.03 && snr > 30;
    };
    EXPECT_TRUE(WaitUntil(clean, 20000))
        << blocks.Frames() << " frames captured; the last half second peaks at " << measure.peakHz
        << " Hz, 1 kHz at " << measure.toneRms << " rms, SNR " << snr << " dB";
    EXPECT_EQ(blocks.badBlocks, 0);

    // The speakers hear nothing while the capture runs.
    monitor.phase = 1;
    ASSERT_TRUE(WaitUntil([&] { return monitor.Peaks(1).size() >= 30; }, 5000));
    std::vector<int> quiet = monitor.Peaks(1);
    int loudChunks = 0;
    for (size_t i = 5; i < quiet.size(); i++)
        loudChunks += quiet[i] > 2;
    EXPECT_EQ(loudChunks, 0) << "of " << quiet.size() << " chunks of the speakers' monitor";

    // A stream started meanwhile on the headphones is moved over too.
    players.push_back(SpawnChild(
        {"paplay", "--latency-msec=100", "--device=headphones", otherTone}, {.out = "/dev/null"}));
    ASSERT_TRUE(WaitUntil(
        [&] { return server.Streams().size() == 3 && AllStreamsOn(privateIndex); }, 10000));
    int lateStream = -1;
    for (auto &[index, sink] : server.Streams())
        if (index != speakersStream && index != headphonesStream) lateStream = index;

    EXPECT_EQ(OvSystemAudioStop(capture), 1);
    EXPECT_EQ(server.DefaultSink(), "speakers");
    EXPECT_EQ(SinkOf(speakersStream), speakers);
    EXPECT_EQ(SinkOf(headphonesStream), headphones);
    EXPECT_EQ(SinkOf(lateStream), headphones);
    monitor.phase = 2;
    EXPECT_TRUE(WaitUntil([&] { return HasLoudChunk(monitor.Peaks(2)); }, 10000))
        << "the tone did not come back to the speakers; " << monitor.Peaks(2).size()
        << " chunks recorded since the stop\n"
        << server.Pactl("list short sink-inputs") << server.Pactl("list short source-outputs");
    OvSystemAudioClose(capture);
    EXPECT_TRUE(server.SinksStartingWith("ostrel_capture_").empty());
    EXPECT_EQ(SinkOf(speakersStream), speakers);
    EXPECT_EQ(SinkOf(headphonesStream), headphones);
    EXPECT_EQ(SinkOf(lateStream), headphones);
}

INSTANTIATE_TEST_SUITE_P(ServerRates, PulseCapture, ::testing::Values(44100, 48000));

// A capture killed mid-run leaves its sink as the default with the stream in it; the next
// create puts both back and removes that sink.
TEST_F(PulseFixture, NextCreateRestoresWhatAKilledRunLeft) {
    ASSERT_TRUE(Play(speakers));
    pid_t child = SpawnChild({OSTREL_CAPTURE_CHILD}, {.out = "/dev/null"});
    ASSERT_GT(child, 0);
    const std::string childSink = "ostrel_capture_" + std::to_string(child);
    ASSERT_TRUE(WaitUntil(
        [&] {
            const int index = server.SinkIndex(childSink);
            return index >= 0 && server.DefaultSink() == childSink && AllStreamsOn(index);
        },
        10000))
        << "the child never took the output";
    EndChild(child, SIGKILL);
    EXPECT_EQ(server.DefaultSink(), childSink) << "a killed run should leave its sink behind";
    EXPECT_TRUE(AllStreamsOn(server.SinkIndex(childSink)));

    LogCapture log;
    Blocks blocks;
    OvSystemAudio *capture = nullptr;
    ASSERT_TRUE(OvSystemAudioCreate(&capture, 2, OnBlock, &blocks));
    EXPECT_TRUE(log.Contains("Found capture sink " + childSink + " left by process"));
    EXPECT_EQ(server.SinkIndex(childSink), -1);
    OvSystemAudioClose(capture);
    EXPECT_EQ(server.DefaultSink(), "speakers");
    EXPECT_TRUE(AllStreamsOn(speakers));
    EXPECT_TRUE(server.SinksStartingWith("ostrel_capture_").empty());
}

// Without a sound server the capture falls back to ALSA; on a machine without a capture
// card it is created but cannot start.
TEST(AlsaFallback, NoSoundServerMeansAlsaCapture) {
    char pattern[] = "/tmp/ostrel-nopulse-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    setenv("XDG_RUNTIME_DIR", pattern, 1);
    setenv("PULSE_SERVER", (std::string("unix:") + pattern + "/none").c_str(), 1);
    LogCapture log;
    Blocks blocks;
    OvSystemAudio *capture = nullptr;
    const int created = OvSystemAudioCreate(&capture, 2, OnBlock, &blocks);
    EXPECT_TRUE(log.Contains("Loopback unavailable (Windows XP?) - trying for Stereo Mix"));
    int card = -1;
    if (snd_card_next(&card) == 0 && card < 0) {
        ASSERT_EQ(created, 1);
        EXPECT_EQ(OvSystemAudioIsLoopback(capture), 0);
        EXPECT_EQ(OvSystemAudioStart(capture), 0);
    }
    OvSystemAudioClose(capture);
    unsetenv("PULSE_SERVER");
    rmdir(pattern);
}

// Index of the sound server's client named name (its application.name), or -1.
int ClientIndex(const std::string &name) {
    std::string out = RunCommand("pactl list clients 2>/dev/null | awk '/^Client #/ { n = "
                                 "substr($2, 2) } /application.name = \"" +
                                 name + "\"/ { print n }'");
    return out.empty() ? -1 : atoi(out.c_str());
}

// Has the sound server drop its client index (pactl has no command for it).
bool KillClient(int index) {
    pa_mainloop *loop = pa_mainloop_new();
    pa_context *context = pa_context_new(pa_mainloop_get_api(loop), "ostrel-test-kill");
    pa_operation *op = nullptr;
    int success = 0;
    pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    for (int i = 0; i < 500; i++) {
        const pa_context_state_t state = pa_context_get_state(context);
        if (!PA_CONTEXT_IS_GOOD(state)) break;
        if (state == PA_CONTEXT_READY && !op)
            op = pa_context_kill_client(
                context, static_cast<uint32_t>(index),
                [](pa_context *, int ok, void *result) { *static_cast<int *>(result) = ok; },
                &success);
        if (op && pa_operation_get_state(op) != PA_OPERATION_RUNNING) break;
        pa_mainloop_iterate(loop, 0, nullptr);
        usleep(10000);
    }
    if (op) pa_operation_unref(op);
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return success != 0;
}

// The capture's connection to the server is cut while the server stays up: the capture
// connects again and goes on, and its stop still gives the default sink and streams back.
TEST_F(PulseFixture, CaptureOutlivesItsConnectionDropping) {
    ASSERT_TRUE(Play(speakers));
    LogCapture log;
    Blocks blocks;
    OvSystemAudio *capture = nullptr;
    ASSERT_TRUE(OvSystemAudioCreate(&capture, 2, OnBlock, &blocks));
    ASSERT_TRUE(OvSystemAudioStart(capture));
    ASSERT_TRUE(WaitUntil([&] { return blocks.Frames() >= kDeliveredRate / 2; }, 10000));
    const int client = ClientIndex("Ostrel");
    ASSERT_GE(client, 0) << server.Pactl("list clients");
    ASSERT_TRUE(KillClient(client));
    ASSERT_TRUE(WaitUntil([&] { return ClientIndex("Ostrel") != client; }, 5000));
    const size_t atLoss = blocks.Frames();
    EXPECT_TRUE(WaitUntil([&] { return blocks.Frames() >= atLoss + kDeliveredRate; }, 10000))
        << "the capture did not go on\n"
        << log.Text();
    const std::string privateSink = "ostrel_capture_" + std::to_string(getpid());
    EXPECT_EQ(server.DefaultSink(), privateSink);
    EXPECT_TRUE(AllStreamsOn(server.SinkIndex(privateSink)));
    OvSystemAudioClose(capture);
    EXPECT_EQ(server.DefaultSink(), "speakers");
    EXPECT_TRUE(AllStreamsOn(speakers));
    EXPECT_TRUE(server.SinksStartingWith("ostrel_capture_").empty())
        << server.Pactl("list short sinks");
}

// The sound server dies and a new one comes up within a few seconds: the capture follows
// it, takes over the new server's streams and gives them back at its stop. When the server
// stays away longer, the capture reports itself lost, and the server, once back, holds
// nothing of it.
TEST_F(PulseFixture, CaptureFollowsARestartedServer) {
    ASSERT_TRUE(Play(speakers));
    LogCapture log;
    Blocks blocks;
    OvSystemAudio *capture = nullptr;
    ASSERT_TRUE(OvSystemAudioCreate(&capture, 2, OnBlock, &blocks));
    OvSystemAudioSetLostCallback(
        capture, [](OvSystemAudio *, void *context) { static_cast<Blocks *>(context)->lost++; });
    ASSERT_TRUE(OvSystemAudioStart(capture));
    ASSERT_TRUE(WaitUntil([&] { return blocks.Frames() >= kDeliveredRate / 2; }, 10000));
    server.Kill();
    for (pid_t player : players)
        EndChild(player); // a player dies with its server
    players.clear();
    ASSERT_TRUE(server.Revive());
    speakers = server.SinkIndex("speakers");
    const std::string privateSink = "ostrel_capture_" + std::to_string(getpid());
    EXPECT_TRUE(WaitUntil([&] { return server.DefaultSink() == privateSink; }, 10000))
        << "the capture did not take the new server's output\n"
        << log.Text();
    const size_t before = blocks.Frames();
    ASSERT_TRUE(Play(server.SinkIndex(privateSink)));
    EXPECT_TRUE(WaitUntil([&] { return blocks.Frames() >= before + kDeliveredRate; }, 10000))
        << "no sound captured from the new server";
    EXPECT_EQ(blocks.lost.load(), 0);

    // Away for longer than the capture waits.
    server.Kill();
    for (pid_t player : players)
        EndChild(player);
    players.clear();
    const auto killedAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return blocks.lost.load() == 1; }, kOvCaptureReconnectMs + 5000))
        << log.Text();
    const auto lostAfter = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - killedAt);
    EXPECT_GE(lostAfter.count(), kOvCaptureReconnectMs - 500);
    ASSERT_TRUE(server.Revive());
    speakers = server.SinkIndex("speakers");
    ASSERT_TRUE(Play(speakers));
    const auto closing = std::chrono::steady_clock::now();
    OvSystemAudioClose(capture);
    EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::seconds(3));
    EXPECT_EQ(blocks.lost.load(), 1);
    EXPECT_EQ(server.DefaultSink(), "speakers");
    EXPECT_TRUE(AllStreamsOn(speakers));
    EXPECT_TRUE(server.SinksStartingWith("ostrel_capture_").empty());
}

} // namespace
