// The sound in the formats speakers play, end to end: a 1 kHz tone played on a private
// PulseAudio goes through the real capture and encoder driver and the audio connection to a
// receiver nobody here wrote (shairport-sync, which plays only Apple Lossless and 16-bit
// samples, with an avahi-daemon of its own, writing what it plays to its standard output),
// and to the built-in receiver told to play only one format. What comes out must be the tone
// at its level. Against shairport-sync the delay a listener hears is measured too: clicks
// written to the sound server against their arrival at the receiver's output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pulse/simple.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "audio_stream/audio_connection.h"
#include "base/clock.h"
#include "plist/cfvalue.h"
#include "tests/support/child_process.h"
#include "tests/support/click_onsets.h"
#include "tests/support/file_text.h"
#include "tests/support/private_network.h"
#include "tests/support/wait.h"
#include "tests/system_audio/pulse_server.h"

namespace {

constexpr int kRate = 44100;
constexpr int kShairportPort = 5123;

// Connections that have ended, counted by their onDisconnected.
std::atomic<int> disconnects{0};

void Disconnected(AudioConnection *, MirroringConnection *) {
    disconnects++;
}

// -1 when the file does not exist.
long long FileSize(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

bool WriteFileText(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "w");
    if (!f) return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && ok;
}

// The sound connection from this process to 127.0.0.1:port in codec.
struct Sender {
    std::atomic<AudioConnection *> slot{nullptr};
    CFValue *host = CFStringFromBytes("127.0.0.1", 0);
    CFValue *deviceId = CFStringFromBytes("0x0a1b2c3d4e5f", 0);
    // True once streaming; false when the connection ended (a refused step) or the wait ran out.
    bool Start(uint16_t port, int32_t codec) {
        int ended = disconnects.load();
        if (!StartAudioConnection(&slot, host, port, nullptr, Disconnected, nullptr, deviceId,
                                  codec))
            return false;
        return WaitUntil([&] { return State() == kAudioStreaming || disconnects.load() != ended; },
                         15000) &&
               State() == kAudioStreaming;
    }
    int32_t State() {
        int32_t state = 0, failure = 0;
        AudioConnectionStatus(&slot, &state, &failure);
        return state;
    }
    ~Sender() {
        StopAudioConnection(&slot);
        CFValueRelease(host);
        CFValueRelease(deviceId);
    }
};

// The last second of sound before the final skip frames, as the tone measure sees it.
ToneMeasure LastSecond(const std::vector<int16_t> &samples, size_t skip) {
    size_t frames = samples.size() / 2;
    if (frames < (size_t)kRate + skip) return {};
    return MeasureTone(samples.data() + (frames - skip - kRate) * 2, kRate, kRate, 1000);
}

// Interleaved 16-bit samples of a WAV the built-in receiver wrote (its 44-byte header off).
std::vector<int16_t> ReadWav(const std::string &path) {
    std::string bytes = ReadFileText(path);
    std::vector<int16_t> samples;
    if (bytes.size() <= 44) return samples;
    samples.resize((bytes.size() - 44) / 2);
    memcpy(samples.data(), bytes.data() + 44, samples.size() * 2);
    return samples;
}

// minSnrDb: what the format keeps; the lossless ones keep everything the capture gave.
void ExpectTone(const ToneMeasure &tone, const std::string &what, double minSnrDb = 30) {
    EXPECT_NEAR(tone.peakHz, 1000, 10) << what;
    // The player's tone is at half of full scale: 0.354 rms.
    EXPECT_NEAR(tone.toneRms, 0.5 / std::sqrt(2.0), 0.04) << what;
    double noise = std::sqrt(std::max(0.0, tone.rms * tone.rms - tone.toneRms * tone.toneRms));
    EXPECT_GT(20 * std::log10(tone.toneRms / std::max(noise, 1e-9)), minSnrDb) << what;
    printf("%s: 1 kHz at %.3f rms (peak %.0f Hz), SNR %.1f dB\n", what.c_str(), tone.toneRms,
           tone.peakHz, 20 * std::log10(tone.toneRms / std::max(noise, 1e-9)));
}

class CodecPeersTest : public testing::Test {
  protected:
    void SetUp() override {
        if (!network.Ready())
            GTEST_SKIP() << "needs a private network namespace: " << network.Reason();
        ASSERT_TRUE(pulse.Start());
        dir = pulse.RuntimeDir();
    }
    void TearDown() override {
        if (player > 0) EndChild(player);
    }
    // A long 1 kHz tone at half of full scale on the user's speakers.
    void PlayTone() {
        ASSERT_TRUE(WriteToneWav(dir + "/tone.wav", 1000, 0.5, kRate, 60));
        // A generous buffer: a player that underruns on a busy machine puts gaps in the tone.
        player =
            SpawnChild({"paplay", "--latency-msec=250", dir + "/tone.wav"}, {.out = "/dev/null"});
        ASSERT_TRUE(WaitUntil([&] { return !pulse.Streams().empty(); }, 10000));
    }
    PrivateNetwork network;
    PulseServer pulse;
    std::string dir;
    pid_t player = -1;
};

// The built-in receiver offering and accepting only one format: the connection sends that
// format and the receiver's decoded sound is the tone.
TEST_F(CodecPeersTest, BuiltInReceiverHearsTheToneInEachFormat) {
    PlayTone();
    const struct {
        const char *name;
        int32_t codec;
        const char *described;
        int32_t refused; // a format the receiver does not play
        double minSnrDb;
    } kCases[] = {{"alac", kAudioCodecAlac, "Apple Lossless, 44100 Hz, 2 channels, 352 samples",
                   kAudioCodecPcm, 30},
                  {"pcm", kAudioCodecPcm, "16-bit samples, 44100 Hz, 2 channels, 352 samples",
                   kAudioCodecAlac, 30},
                  {"aac-eld", kAudioCodecAacEld, "AAC-ELD, 44100 Hz, 2 channels, 480 samples",
                   kAudioCodecAlac, 40}};
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.name);
        std::string wav = dir + "/" + c.name + ".wav";
        std::string ports = dir + "/" + c.name + ".ports";
        std::string report = dir + "/" + c.name + ".json";
        Child rx = StartChild({OSTREL_RECEIVER,
                               "--bind",
                               "127.0.0.1",
                               "--http-port",
                               "0",
                               "--mirror-port",
                               "0",
                               "--audio-port",
                               "0",
                               "--port-file",
                               ports,
                               "--audio-codecs",
                               c.name,
                               "--audio-latency",
                               "0",
                               "--wav",
                               wav,
                               "--report",
                               report,
                               "--duration",
                               "60"});
        ASSERT_TRUE(rx.pid > 0 && WaitForFileText(ports, "audio", 10000));
        std::string text = ReadFileText(ports);
        uint16_t port = (uint16_t)atoi(text.c_str() + text.find("audio ") + 6);
        {
            // The other format is refused, as a speaker that does not play it does.
            Sender refused;
            EXPECT_FALSE(refused.Start(port, c.refused));
        }
        {
            Sender sender;
            ASSERT_TRUE(sender.Start(port, c.codec));
            // Three seconds of decoded sound (the WAV grows as frames arrive).
            EXPECT_TRUE(WaitUntil([&] { return FileSize(wav) > 44 + 3 * kRate * 4; }, 15000));
        }
        EXPECT_EQ(pulse.DefaultSink(), "speakers") << "the user's output is back";
        ChildResult result = StopChild(rx, SIGTERM, 5000);
        EXPECT_EQ(result.status, 0);
        EXPECT_NE(result.err.find(c.described), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("which this receiver does not play: 415"), std::string::npos);
        // Nothing amiss in the packets: RTP times one packet apart, sync packets with a
        // latency the receiver takes, frames that decode.
        EXPECT_NE(ReadFileText(report).find("\"anomalies\": []"), std::string::npos)
            << ReadFileText(report);
        ExpectTone(LastSecond(ReadWav(wav), kRate / 10),
                   std::string("built-in receiver, ") + c.name, c.minSnrDb);
    }
}

// shairport-sync's standard output, read on a thread: every sample with the monotonic time
// its chunk arrived, and the clicks found in it.
struct OutputReader {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> running{true};
    std::mutex lock;
    std::vector<int16_t> samples;
    std::vector<int64_t> onsetNanos; // arrival of each click, back-dated within its chunk
    ClickOnsetFinder finder;
    void Start(int pipe) {
        fd = pipe;
        thread = std::thread([this] { Run(); });
    }
    void Run() {
        std::vector<uint8_t> pending;
        uint8_t buffer[16384];
        while (running.load()) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                usleep(2000);
                continue;
            }
            int64_t now = MonotonicNanos();
            pending.insert(pending.end(), buffer, buffer + n);
            size_t frames = pending.size() / 4;
            std::vector<int16_t> chunk(frames * 2);
            memcpy(chunk.data(), pending.data(), frames * 4);
            pending.erase(pending.begin(), pending.begin() + (long)(frames * 4));
            std::vector<int64_t> onsets;
            std::lock_guard<std::mutex> hold(lock);
            int64_t first = finder.frames;
            ClickOnsetsPush(&finder, chunk.data(), frames, &onsets);
            for (int64_t onset : onsets)
                onsetNanos.push_back(now - (first + (int64_t)frames - onset) * 1000000000 / kRate);
            samples.insert(samples.end(), chunk.begin(), chunk.end());
        }
    }
    size_t Frames() {
        std::lock_guard<std::mutex> hold(lock);
        return samples.size() / 2;
    }
    ~OutputReader() {
        running = false;
        if (thread.joinable()) thread.join();
        if (fd >= 0) close(fd);
    }
};

// A private system bus and avahi-daemon in this namespace: shairport-sync will not run
// without one to announce itself through.
struct Avahi {
    pid_t bus = -1, daemon = -1;
    bool Start(const std::string &dir) {
        std::string busConf = dir + "/bus.conf", avahiConf = dir + "/avahi.conf";
        WriteFileText(busConf,
                      "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration "
                      "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                      "<busconfig><type>system</type><listen>unix:path=" +
                          dir +
                          "/bus.sock</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                          "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\" "
                          "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                          "</policy></busconfig>\n");
        WriteFileText(avahiConf, "[server]\nhost-name=speaker-host\nuse-ipv4=yes\nuse-ipv6=no\n"
                                 "[wide-area]\nenable-wide-area=no\n[publish]\npublish-hinfo=no\n"
                                 "publish-workstation=no\n[reflector]\n[rlimits]\n");
        bus = SpawnChild({"dbus-daemon", "--config-file=" + busConf, "--nofork", "--nopidfile"},
                         {.out = "/dev/null"});
        if (bus <= 0 || !WaitUntil([&] { return FileSize(dir + "/bus.sock") >= 0; }, 5000))
            return false;
        setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir + "/bus.sock").c_str(), 1);
        std::string log = dir + "/avahi.log";
        daemon = SpawnChild({"unshare", "-m", "--propagation", "private", "sh", "-c",
                             "mkdir -p /run/avahi-daemon && mount -t tmpfs tmpfs "
                             "/run/avahi-daemon && exec avahi-daemon -f " +
                                 avahiConf + " --no-drop-root --no-chroot --no-rlimits"},
                            {.out = log, .err = log});
        return daemon > 0 && WaitUntil(
                                 [&] {
                                     return ReadFileText(log).find("Server startup complete") !=
                                            std::string::npos;
                                 },
                                 10000);
    }
    ~Avahi() {
        if (daemon > 0) EndChild(daemon);
        if (bus > 0) EndChild(bus);
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
};

// Clicks written straight to the sound server, each stamped with the monotonic time it
// will be heard from the speakers: the write's time plus the latency the server reports.
std::vector<int64_t> PlayClicks(int count, int periodMs) {
    pa_sample_spec spec{PA_SAMPLE_S16LE, kRate, 2};
    pa_buffer_attr attr{(uint32_t)-1, (uint32_t)(kRate * 4 / 100), (uint32_t)-1, (uint32_t)-1,
                        (uint32_t)-1};
    int error = 0;
    pa_simple *stream = pa_simple_new(nullptr, "clicks", PA_STREAM_PLAYBACK, nullptr, "clicks",
                                      &spec, nullptr, &attr, &error);
    std::vector<int64_t> heard;
    if (!stream) return heard;
    const int64_t period = (int64_t)kRate * periodMs / 1000;
    std::vector<int16_t> train = MakeClickTrain(1, 0, period, kRate);
    const size_t chunkFrames = kRate / 100;
    for (int k = 0; k < count; k++) {
        for (size_t at = 0; at < train.size() / 2; at += chunkFrames) {
            size_t frames = std::min(chunkFrames, train.size() / 2 - at);
            if (at == 0) {
                pa_usec_t latency = pa_simple_get_latency(stream, &error);
                heard.push_back(MonotonicNanos() + (int64_t)latency * 1000);
            }
            if (pa_simple_write(stream, train.data() + at * 2, frames * 4, &error) < 0) break;
        }
    }
    pa_simple_drain(stream, &error);
    pa_simple_free(stream);
    return heard;
}

int64_t Median(std::vector<int64_t> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// shairport-sync (3.3, from Debian) plays what the connection sends in Apple Lossless and in
// 16-bit samples: the tone at its level, and clicks after the latency the sender asked for.
TEST_F(CodecPeersTest, ShairportSyncPlaysTheToneAndTheClicks) {
    Avahi avahi;
    ASSERT_TRUE(avahi.Start(dir));
    for (int32_t codec : {kAudioCodecAlac, kAudioCodecPcm}) {
        std::string name = codec == kAudioCodecAlac ? "alac" : "pcm";
        SCOPED_TRACE(name);
        int outPipe = -1;
        std::string log = dir + "/shairport-" + name + ".log";
        // shairport-sync plays into a sound server of its own (the "speaker"), whose sink is
        // recorded: its output back end paces what it plays by the latency, as a listener
        // hears it (its standard output back end writes frames as soon as they are decoded).
        std::string speakerDir = dir + "/speaker-" + name;
        mkdir(speakerDir.c_str(), 0700);
        const std::string runtime = "XDG_RUNTIME_DIR=" + speakerDir;
        pid_t speaker =
            SpawnChild({"env", runtime, "HOME=" + speakerDir, "pulseaudio", "-n", "--daemonize=no",
                        "--exit-idle-time=-1", "--use-pid-file=no", "-L",
                        "module-native-protocol-unix auth-anonymous=1", "-L",
                        "module-null-sink sink_name=out rate=44100", "-L", "module-always-sink"},
                       {.out = "/dev/null", .err = dir + "/speaker.log"});
        ASSERT_TRUE(WaitUntil([&] { return FileSize(speakerDir + "/pulse/native") >= 0; }, 10000));
        pid_t recorder =
            SpawnChild({"env", runtime, "parec", "-d", "out.monitor", "--raw", "--latency-msec=10",
                        "--format=s16le", "--rate=44100", "--channels=2"},
                       {.outPipe = &outPipe});
        // The output buffer of a speaker's sound card (0.15 s, shairport-sync's own for ALSA)
        // rather than its 0.35 s for a sound server: it must stay below the latency the
        // stream asks for, or shairport-sync gives up synchronising and plays what comes.
        std::string conf = dir + "/shairport.conf";
        ASSERT_TRUE(WriteFileText(
            conf, "general = { audio_backend_buffer_desired_length_in_seconds = 0.15; };\n"));
        pid_t shairport =
            SpawnChild({"env", runtime, "shairport-sync", "-c", conf, "-u", "-v", "-o", "pa", "-p",
                        std::to_string(kShairportPort), "-a", "Kitchen"},
                       {.out = log, .err = log});
        ASSERT_GT(shairport, 0);
        OutputReader output;
        output.Start(outPipe);
        ASSERT_TRUE(WaitUntil(
            [&] {
                return RunCommand("ss -ltnH 'sport = :" + std::to_string(kShairportPort) + "'")
                           .find("LISTEN") != std::string::npos;
            },
            10000));
        PlayTone();
        {
            Sender sender;
            ASSERT_TRUE(sender.Start(kShairportPort, codec)) << ReadFileText(log);
            // The tone reaches the output after the receiver's buffer. It is measured once the
            // receiver has settled on the stream's timing (its first second may be flushed and
            // begun again), over the cleanest of three seconds: on a busy machine shairport-sync
            // now and then flushes a late packet and starts over, which cuts the tone.
            size_t toneFrom = 0;
            ASSERT_TRUE(WaitUntil(
                [&] {
                    std::lock_guard<std::mutex> hold(output.lock);
                    size_t frames = output.samples.size() / 2;
                    if (frames < (size_t)kRate / 10) return false;
                    ToneMeasure recent = MeasureTone(
                        output.samples.data() + (frames - kRate / 10) * 2, kRate / 10, kRate, 1000);
                    toneFrom = frames;
                    return recent.toneRms > 0.2;
                },
                20000))
                << ReadFileText(log);
            ASSERT_TRUE(
                WaitUntil([&] { return output.Frames() > toneFrom + 19 * kRate / 4; }, 10000));
            {
                std::lock_guard<std::mutex> hold(output.lock);
                ToneMeasure best{};
                for (int second = 0; second < 3; second++) {
                    ToneMeasure tone =
                        MeasureTone(output.samples.data() +
                                        (toneFrom + (7 + 4 * (size_t)second) * kRate / 4) * 2,
                                    kRate, kRate, 1000);
                    if (tone.toneRms * best.rms >= best.toneRms * tone.rms) best = tone;
                }
                ExpectTone(best, "shairport-sync, " + name);
            }
            EndChild(player);
            player = -1;
            // The tone stops; once the output is quiet, clicks.
            ASSERT_TRUE(WaitUntil(
                [&] {
                    std::lock_guard<std::mutex> hold(output.lock);
                    return output.finder.lastLoud >= 0 &&
                           output.finder.frames - output.finder.lastLoud > kRate / 2;
                },
                15000));
            size_t before;
            {
                std::lock_guard<std::mutex> hold(output.lock);
                before = output.onsetNanos.size();
            }
            std::vector<int64_t> played = PlayClicks(6, 600);
            ASSERT_EQ(played.size(), 6u);
            ASSERT_TRUE(WaitUntil(
                [&] {
                    std::lock_guard<std::mutex> hold(output.lock);
                    return output.onsetNanos.size() >= before + played.size();
                },
                15000));
            std::vector<int64_t> delays;
            {
                std::lock_guard<std::mutex> hold(output.lock);
                for (size_t i = 0; i < played.size(); i++)
                    delays.push_back(output.onsetNanos[before + i] - played[i]);
            }
            int64_t median = Median(delays);
            printf("click to shairport-sync's sound server (%s): median %.0f ms, from %.0f to %.0f "
                   "ms\n",
                   name.c_str(), median / 1e6,
                   *std::min_element(delays.begin(), delays.end()) / 1e6,
                   *std::max_element(delays.begin(), delays.end()) / 1e6);
            // Every click is heard about one latency later (at least the least asked of a
            // speaker; the capture's and the output's own tens of milliseconds either way), the
            // same for each.
            const int64_t asked = (int64_t)kAudioSpeakerMinLatency * 1000000000 / 44100;
            EXPECT_GT(median, asked - 100000000);
            EXPECT_LT(median, asked + 150000000);
            for (int64_t d : delays)
                EXPECT_NEAR((double)d, (double)median, 60e6);
        }
        EndChild(shairport);
        EndChild(recorder);
        EndChild(speaker);
        EXPECT_EQ(pulse.DefaultSink(), "speakers") << "the user's output is back";
    }
}

} // namespace
