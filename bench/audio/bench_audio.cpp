// System audio to the network, against `parec | ffmpeg -c:a aac -b:a 128k` doing the same
// capture, rate conversion, encode and RTP send, in the same run, on a private PulseAudio
// server the benchmark starts.
//   ostrel-bench-audio [--rate=48000] [--seconds=8] [--clicks=40]
//
// CPU: client-side CPU time per second of audio while music plays (the program's process
// without the benchmark's UDP sink thread; the anchor's parec and ffmpeg processes). The
// sound server's own CPU over the same span is printed beside it.
// Latency: a click train is played through a stream with 50 ms of buffer, as a desktop
// player might ask; each click's render time (write time plus the stream's reported
// playback latency) is matched with the arrival on a local UDP sink of the first RTP packet
// that carries it: for the anchor the first frame far larger than the silent ones, for the
// program (whose AAC-ELD frames stay near the bit rate in silence) the packet encoded from
// the block where the decoded click begins. That is play-to-send: the server's mixing, the
// capture, staging, conversion, encoding and sending.
//
// The program's frames go through the stream's own RTP sender (audio_stream/rtp_sender.h:
// sync packets, three re-sends of the last packets, the retransmission history) on an
// AudioConnection in its streaming state, writing with sendto to the sink instead of through
// the connection's socket set.
#include "aaceld/aaceld.h"
#include "audio_stream/audio_connection.h"
#include "audio_stream/rtp_sender.h"
#include "base/clock.h"
#include "base/log.h"
#include "base/thread.h"
#include "system_audio/audio_encoder_driver.h"
#include "tests/aaceld/eld_decode.h"
#include "tests/system_audio/pulse_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pulse/simple.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

int gRate = 48000;
int gSeconds = 8;
int gClicks = 40;
constexpr int kClickPeriodMs = 250;

// ---- UDP sink -----------------------------------------------------------------------

struct Datagram {
    int64_t arrival; // monotonic ns
    int size;
    int sequence;                 // RTP sequence number of an audio packet, -1 otherwise
    std::vector<uint8_t> payload; // after the 12-byte RTP header
};

struct UdpSink {
    int fd = -1;
    uint16_t port = 0;
    Thread thread{};
    std::atomic<int> running{0};
    std::vector<Datagram> received; // sink thread only until joined
    std::vector<uint8_t> seen = std::vector<uint8_t>(65536);

    bool Open() {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || bind(fd, (sockaddr *)&address, sizeof address) != 0 ||
            getsockname(fd, (sockaddr *)&address, &length) != 0)
            return false;
        port = ntohs(address.sin_port);
        received.reserve(1 << 16);
        running = 1;
        return ThreadStart(&thread, "bench-udp-sink", Run, this);
    }
    static void Run(void *arg) {
        UdpSink *sink = static_cast<UdpSink *>(arg);
        uint8_t buffer[65536];
        while (sink->running.load()) {
            pollfd p = {sink->fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = recv(sink->fd, buffer, sizeof buffer, 0);
            if (n <= 12 || sink->received.size() >= sink->received.capacity()) continue;
            // Audio packets only (payload type 96 for the program, 97 for ffmpeg); the sync
            // packets beside them carry no sound.
            const int type = buffer[1] & 0x7f;
            if (type != 96 && type != 97) continue;
            const int sequence = (buffer[2] << 8) | buffer[3];
            // The program's sender repeats each packet in the next three datagrams; only the
            // first copy tells when the frame left.
            if (sink->seen[sequence]) continue;
            sink->seen[sequence] = 1;
            sink->received.push_back({MonotonicNanos(), static_cast<int>(n), sequence,
                                      std::vector<uint8_t>(buffer + 12, buffer + n)});
        }
    }
    // CPU time the sink thread has used, in ns.
    int64_t CpuNanos() {
        clockid_t clock;
        timespec t{};
        if (pthread_getcpuclockid(thread.handle, &clock) != 0 || clock_gettime(clock, &t) != 0)
            return 0;
        return t.tv_sec * 1000000000LL + t.tv_nsec;
    }
    void Close() {
        running = 0;
        ThreadJoin(&thread);
        if (fd >= 0) close(fd);
        fd = -1;
    }
};

// ---- the program's pipeline -----------------------------------------------------------

// The stream's own RTP sender (sync packets, three re-sends of the last packets, history for
// retransmission) on an AudioConnection that is streaming; its datagrams go straight to the
// sink with sendto instead of through the connection's socket set.
int gSendFd = -1;
sockaddr_in gSendTo{};

int SendToSink(AudioConnection *, int, const uint8_t *data, size_t length) {
    return sendto(gSendFd, data, length, 0, (sockaddr *)&gSendTo, sizeof gSendTo) ==
           static_cast<ssize_t>(length);
}

int64_t ProcessCpuNanos() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// CPU time of every thread of a process, in ns (from /proc/PID/task/*/schedstat).
int64_t TaskCpuNanos(pid_t pid) {
    const std::string directory = "/proc/" + std::to_string(pid) + "/task";
    DIR *tasks = opendir(directory.c_str());
    if (!tasks) return 0;
    int64_t total = 0;
    while (dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        FILE *file = fopen((directory + "/" + entry->d_name + "/schedstat").c_str(), "r");
        if (!file) continue;
        long long nanos = 0;
        if (fscanf(file, "%lld", &nanos) == 1) total += nanos;
        fclose(file);
    }
    closedir(tasks);
    return total;
}

// A contender: started and stopped around each measurement, CPU read in between.
struct Contender {
    const char *name;
    bool (*start)(Contender *self, uint16_t port);
    void (*stop)(Contender *self);
    int64_t (*cpu)(Contender *self);
    // Index of the first datagram from `from` on that carries a click, or -1.
    int (*findClick)(Contender *self, const std::vector<Datagram> &received, size_t from);
    // state
    std::vector<float> decoded; // the program's stream, decoded once per latency run
    AudioConnection *audio = nullptr;
    pid_t parec = -1, ffmpeg = -1;
    UdpSink *sink = nullptr;
};

bool OstrelStart(Contender *self, uint16_t port) {
    gSendFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    gSendTo.sin_family = AF_INET;
    gSendTo.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    gSendTo.sin_port = htons(port);
    if (!self->audio) self->audio = new AudioConnection;
    self->audio->sendPacket = SendToSink;
    self->audio->state = kAudioStreaming;
    AudioSenderReset(self->audio);
    return StartSystemAudio(self->audio, SendAudioFrame, nullptr) == 1;
}

void OstrelStop(Contender *self) {
    StopSystemAudio(self->audio);
    close(gSendFd);
    gSendFd = -1;
}

int64_t OstrelCpu(Contender *self) {
    return ProcessCpuNanos() - self->sink->CpuNanos();
}

// AAC-ELD frames stay near the bit rate even in silence, so their size shows nothing: the
// stream is decoded and datagram j is the one encoded from input block j. A decoded sample
// at position p is input sample p - delay (the core's reported delay).
int OstrelFindClick(Contender *self, const std::vector<Datagram> &received, size_t from) {
    if (self->decoded.empty()) {
        std::vector<std::vector<uint8_t>> packets;
        for (const Datagram &d : received)
            packets.push_back(d.payload);
        const uint8_t asc[] = {0xF8, 0xE8, 0x50, 0x00};
        EldDecodeResult result = EldDecodePackets(packets, asc, 4, 44100, 2);
        self->decoded = std::move(result.samples);
        if (self->decoded.empty()) self->decoded.push_back(0);
    }
    EncoderConfig config;
    AudioEncoderDefaultConfig(&config);
    static int delay = [&] {
        AacEldEncoder *encoder = nullptr;
        EncoderInfo info{};
        int value = 240;
        if (EncoderOpen(&config, &encoder) == kEncoderOk &&
            EncoderGetInfo(encoder, &info) == kEncoderOk)
            value = info.delay;
        EncoderClose(encoder);
        return value;
    }();
    for (size_t j = from; j < received.size(); j++) {
        for (int i = 0; i < 480; i++) {
            const size_t position = (j * 480 + i + delay) * 2;
            if (position < self->decoded.size() && std::fabs(self->decoded[position]) > 0.1f)
                return static_cast<int>(j);
        }
    }
    return -1;
}

bool AnchorStart(Contender *self, uint16_t port) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return false;
    const std::string rate = "--rate=" + std::to_string(gRate);
    self->parec = fork();
    if (self->parec == 0) {
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execlp("parec", "parec", "-d", "@DEFAULT_MONITOR@", "--latency-msec=10", "--format=s16le",
               "--channels=2", rate.c_str(), "--raw", (char *)nullptr);
        _exit(127);
    }
    const std::string url = "rtp://127.0.0.1:" + std::to_string(port);
    const std::string inRate = std::to_string(gRate);
    self->ffmpeg = fork();
    if (self->ffmpeg == 0) {
        dup2(pipeFds[0], 0);
        close(pipeFds[0]);
        close(pipeFds[1]);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execlp("ffmpeg", "ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-probesize",
               "32", "-analyzeduration", "0", "-fflags", "nobuffer", "-f", "s16le", "-ar",
               inRate.c_str(), "-ac", "2", "-i", "pipe:0", "-ar", "44100", "-c:a", "aac", "-b:a",
               "128k", "-flush_packets", "1", "-max_delay", "0", "-f", "rtp", url.c_str(),
               (char *)nullptr);
        _exit(127);
    }
    close(pipeFds[0]);
    close(pipeFds[1]);
    return self->parec > 0 && self->ffmpeg > 0;
}

void AnchorStop(Contender *self) {
    EndChild(self->parec);
    EndChild(self->ffmpeg);
    self->parec = self->ffmpeg = -1;
}

int64_t AnchorCpu(Contender *self) {
    return TaskCpuNanos(self->parec) + TaskCpuNanos(self->ffmpeg);
}

// ffmpeg's AAC frames of silence are a few bytes; the first frame far larger than the
// quiet ones is the first that carries the click.
int AnchorFindClick(Contender *, const std::vector<Datagram> &received, size_t from) {
    std::vector<int> sizes;
    for (const Datagram &d : received)
        sizes.push_back(d.size);
    std::sort(sizes.begin(), sizes.end());
    const int threshold = sizes.empty() ? 0 : sizes[sizes.size() / 4] * 2 + 24;
    for (size_t j = from; j < received.size(); j++)
        if (received[j].size > threshold) return static_cast<int>(j);
    return -1;
}

// ---- signals --------------------------------------------------------------------------

// Chords with decaying notes, a bass line and a little noise, written as a WAV.
bool WriteMusicWav(const std::string &path, int seconds) {
    FILE *file = fopen(path.c_str(), "wb");
    if (!file) return false;
    const int rate = 44100;
    const uint32_t frames = static_cast<uint32_t>(rate * seconds);
    auto le = [&](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; i++)
            fputc((v >> (8 * i)) & 0xff, file);
    };
    fwrite("RIFF", 1, 4, file);
    le(36 + frames * 4, 4);
    fwrite("WAVEfmt ", 1, 8, file);
    le(16, 4);
    le(1, 2);
    le(2, 2);
    le(rate, 4);
    le(rate * 4, 4);
    le(4, 2);
    le(16, 2);
    fwrite("data", 1, 4, file);
    le(frames * 4, 4);
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> note(0, 24);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    const int noteLength = rate / 4;
    double f[3] = {220, 277, 330}, bass = 55;
    for (uint32_t i = 0; i < frames; i++) {
        const int inNote = static_cast<int>(i % noteLength);
        if (inNote == 0) {
            for (double &v : f)
                v = 220.0 * pow(2.0, note(rng) / 12.0);
            bass = 55.0 * pow(2.0, note(rng) / 24.0);
        }
        const double env = exp(-3.0 * inNote / noteLength), t = static_cast<double>(i) / rate;
        double l = 0, r = 0;
        for (int k = 0; k < 3; k++)
            for (int h = 1; h <= 6; h++) {
                const double v = env * 0.08 / h * sin(2 * M_PI * f[k] * h * t);
                l += v * (k == 0 ? 1.0 : 0.6);
                r += v * (k == 2 ? 1.0 : 0.6);
            }
        const double b = 0.2 * sin(2 * M_PI * bass * t);
        le(static_cast<uint16_t>(static_cast<int16_t>(32767 * (l + b + 0.01 * noise(rng)))), 2);
        le(static_cast<uint16_t>(static_cast<int16_t>(32767 * (r + b + 0.01 * noise(rng)))), 2);
    }
    return fclose(file) == 0;
}

// Plays clicks (10 ms of a 2 kHz tone on silence) every 250 ms through a low-latency stream
// and returns each click's expected render time (monotonic ns).
std::vector<int64_t> PlayClicks(int clicks) {
    std::vector<int64_t> renders;
    pa_sample_spec spec = {PA_SAMPLE_S16LE, 44100, 2};
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = 441 * 4 * 5; // 50 ms, as a desktop player might ask
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    int error = 0;
    pa_simple *player = pa_simple_new(nullptr, "ostrel-bench", PA_STREAM_PLAYBACK, nullptr,
                                      "clicks", &spec, nullptr, &attr, &error);
    if (!player) return renders;
    const int chunkFrames = 221; // 5 ms
    std::vector<int16_t> silence(chunkFrames * 2, 0), click(chunkFrames * 2);
    const int chunksPerPeriod = kClickPeriodMs / 5;
    int phase = 0;
    for (int c = 0; c < clicks; c++) {
        for (int k = 0; k < chunksPerPeriod; k++) {
            const bool loud = k < 2;
            if (loud) {
                for (int i = 0; i < chunkFrames; i++) {
                    const int16_t v =
                        static_cast<int16_t>(16000 * sin(2 * M_PI * 2000 * (phase++) / 44100.0));
                    click[2 * i] = click[2 * i + 1] = v;
                }
                if (k == 0) {
                    const pa_usec_t latency = pa_simple_get_latency(player, &error);
                    renders.push_back(MonotonicNanos() + static_cast<int64_t>(latency) * 1000);
                }
            }
            pa_simple_write(player, loud ? click.data() : silence.data(),
                            silence.size() * sizeof(int16_t), &error);
        }
    }
    pa_simple_drain(player, &error);
    pa_simple_free(player);
    return renders;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
    return values[index];
}

struct Result {
    double cpuMsPerSecond = NAN;
    double serverMsPerSecond = NAN;
    double datagramsPerSecond = NAN;
    double p50 = NAN, p99 = NAN;
    int matched = 0;
};

// Waits until datagrams flow (the pipeline is primed) or 10 s pass.
bool WaitForFlow(UdpSink *sink) {
    for (int i = 0; i < 1000; i++) {
        if (sink->received.size() > 20) return true;
        SleepMillis(10);
    }
    return false;
}

Result Measure(Contender *contender, PulseServer *server, const std::string &music) {
    Result result;
    // CPU with music playing.
    {
        pid_t player = SpawnChild({"paplay", music}, {.out = "/dev/null"});
        UdpSink sink;
        if (!sink.Open()) return result;
        contender->sink = &sink;
        if (!contender->start(contender, sink.port) || !WaitForFlow(&sink)) {
            fprintf(stderr, "%s: no datagrams\n", contender->name);
            contender->stop(contender);
            sink.Close();
            EndChild(player);
            return result;
        }
        SleepMillis(500);
        const size_t before = sink.received.size();
        const int64_t cpu0 = contender->cpu(contender);
        const int64_t server0 = TaskCpuNanos(server->Pid());
        const int64_t t0 = MonotonicNanos();
        SleepMillis(gSeconds * 1000);
        const int64_t cpu1 = contender->cpu(contender);
        const int64_t server1 = TaskCpuNanos(server->Pid());
        const double seconds = (MonotonicNanos() - t0) / 1e9;
        const size_t after = sink.received.size();
        contender->stop(contender);
        sink.Close();
        EndChild(player);
        result.cpuMsPerSecond = (cpu1 - cpu0) / 1e6 / seconds;
        result.serverMsPerSecond = (server1 - server0) / 1e6 / seconds;
        result.datagramsPerSecond = (after - before) / seconds;
    }
    // Latency with clicks on silence.
    {
        UdpSink sink;
        if (!sink.Open()) return result;
        contender->sink = &sink;
        std::vector<int64_t> renders;
        if (contender->start(contender, sink.port)) {
            WaitForFlow(&sink);
            SleepMillis(300);
            renders = PlayClicks(gClicks);
            SleepMillis(300);
        }
        contender->stop(contender);
        sink.Close();
        contender->decoded.clear();
        std::vector<double> latencies;
        size_t next = 0;
        const std::vector<Datagram> &received = sink.received;
        for (int64_t render : renders) {
            while (next < received.size() && received[next].arrival < render - 5000000LL)
                next++;
            const int k = contender->findClick(contender, received, next);
            if (k >= 0 && received[k].arrival < render + kClickPeriodMs * 1000000LL / 2) {
                latencies.push_back((received[k].arrival - render) / 1e6);
                next = static_cast<size_t>(k) + 1;
            }
        }
        result.matched = static_cast<int>(latencies.size());
        result.p50 = Percentile(latencies, 0.5);
        result.p99 = Percentile(latencies, 0.99);
    }
    return result;
}

} // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        if (sscanf(argv[i], "--rate=%d", &gRate) == 1 ||
            sscanf(argv[i], "--seconds=%d", &gSeconds) == 1 ||
            sscanf(argv[i], "--clicks=%d", &gClicks) == 1)
            continue;
        fprintf(stderr, "usage: %s [--rate=48000] [--seconds=8] [--clicks=40]\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    // The program logs only what its log file would hold (level 2), as when it runs.
    LogLevelThreshold = 2;
    PulseServer server;
    if (!server.Start(gRate)) {
        fprintf(stderr, "pulseaudio did not start\n");
        return 1;
    }
    const std::string music = server.RuntimeDir() + "/music.wav";
    if (!WriteMusicWav(music, gSeconds + 15)) {
        fprintf(stderr, "could not write %s\n", music.c_str());
        return 1;
    }
    printf("ostrel-bench-audio: server mixing at %d Hz, %d s of music, %d clicks per "
           "pipeline\n",
           gRate, gSeconds, gClicks);
    Contender ostrel = {"ostrel", OstrelStart, OstrelStop, OstrelCpu, OstrelFindClick, {}};
    Contender anchor = {"anchor", AnchorStart, AnchorStop, AnchorCpu, AnchorFindClick, {}};
    Result ours = Measure(&ostrel, &server, music);
    Result theirs = Measure(&anchor, &server, music);
    printf("%-58s %10s %10s %9s %9s %8s %8s\n", "pipeline", "cpu ms/s", "server", "p50 ms",
           "p99 ms", "clicks", "pkts/s");
    auto row = [](const char *name, const Result &r) {
        printf("%-58s %10.2f %10.2f %9.1f %9.1f %8d %8.1f\n", name, r.cpuMsPerSecond,
               r.serverMsPerSecond, r.p50, r.p99, r.matched, r.datagramsPerSecond);
    };
    row("ostrel: capture -> soxr -> AAC-ELD -> RTP", ours);
    row("anchor: parec | ffmpeg -c:a aac -b:a 128k -f rtp", theirs);
    printf("ratio ostrel/anchor: cpu %.3f (goal <= 0.5), latency p50 %.3f, p99 %.3f; ostrel "
           "p50 %.1f ms (goal < 25 ms)\n",
           ours.cpuMsPerSecond / theirs.cpuMsPerSecond, ours.p50 / theirs.p50,
           ours.p99 / theirs.p99, ours.p50);
    server.Stop();
    return 0;
}
