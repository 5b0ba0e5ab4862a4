#include "tests/system_audio/pulse_server.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pulse/pulseaudio.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

bool PulseServer::Start(int defaultRate) {
    char pattern[] = "/tmp/ostrel-pulse-XXXXXX";
    if (!mkdtemp(pattern)) return false;
    runtimeDir_ = pattern;
    chmod(runtimeDir_.c_str(), 0700);
    return Revive(defaultRate);
}

void PulseServer::Kill() {
    EndChild(pid_, SIGKILL);
    pid_ = -1;
    for (auto helper = helpers_.rbegin(); helper != helpers_.rend(); ++helper)
        EndChild(*helper, SIGKILL);
    helpers_.clear();
}

bool PulseServer::Revive(int defaultRate) {
    setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
    unsetenv("PULSE_SERVER");
    unsetenv("PULSE_SINK");
    unsetenv("PULSE_SOURCE");
    // The servers' complaints (such as PulseAudio's note on copying monitor blocks it cannot
    // hand over in shared memory) go to a file, shown only when they do not come up.
    log_ = runtimeDir_ + "/server.log";
    const char *kind = getenv("OSTREL_TEST_SOUND_SERVER");
    const bool started = kind && strcmp(kind, "pipewire") == 0 ? StartPipeWire(defaultRate)
                                                               : StartPulseAudio(defaultRate);
    if (started) return true;
    const std::string show = "cat '" + log_ + "' >&2";
    if (system(show.c_str()) != 0) fprintf(stderr, "the sound server left no log\n");
    return false;
}

// A bus address nothing listens on: a private server then skips its bus names instead of
// meeting another one's (leaving the variable unset would let libdbus autolaunch a bus).
static const char *const kNoBus = "unix:path=/nonexistent/ostrel-no-bus";

bool PulseServer::StartPulseAudio(int defaultRate) {
    const std::string config = runtimeDir_ + "/daemon.conf";
    if (FILE *file = fopen(config.c_str(), "w")) {
        fprintf(file, "default-sample-rate = %d\nalternate-sample-rate = %d\n", defaultRate,
                defaultRate);
        fclose(file);
    }
    setenv("PULSE_CONFIG", config.c_str(), 1);
    // Off the session bus: a second PulseAudio on the same bus (a test running alongside)
    // finds org.PulseAudio1 taken and exits.
    pid_ = SpawnChild({"env", "DBUS_SESSION_BUS_ADDRESS=" + std::string(kNoBus), "pulseaudio", "-n",
                       "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                       "--log-target=file:" + log_, "--log-level=error", "-L",
                       "module-native-protocol-unix auth-anonymous=1", "-L",
                       "module-null-sink sink_name=speakers channels=2",
                       // A source of its own, so that the default source is not the speakers'
                       // monitor: streams on the default source follow the default sink's
                       // monitor when the default sink changes, and the test's monitor check
                       // must stay on the speakers.
                       "-L", "module-null-source source_name=microphone"},
                      {.out = "/dev/null"});
    return pid_ > 0 && WaitReady();
}

// PipeWire with its session manager and pulse server, on a session bus of their own; the
// same sink and source are made through the pulse server.
bool PulseServer::StartPipeWire(int defaultRate) {
    const std::string bus = runtimeDir_ + "/bus";
    const std::string configDir = runtimeDir_ + "/config/pipewire/pipewire.conf.d";
    if (system(("mkdir -p '" + configDir + "'").c_str()) != 0) return false;
    if (FILE *file = fopen((configDir + "/rate.conf").c_str(), "w")) {
        fprintf(file, "context.properties = { default.clock.rate = %d }\n", defaultRate);
        fclose(file);
    }
    setenv("XDG_CONFIG_HOME", (runtimeDir_ + "/config").c_str(), 1);
    setenv("PIPEWIRE_RUNTIME_DIR", runtimeDir_.c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + bus).c_str(), 1);
    const ChildOutput toLog = {.out = "/dev/null", .err = log_};
    unlink(bus.c_str()); // a killed bus leaves its socket behind
    helpers_.push_back(
        SpawnChild({"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + bus}, toLog));
    auto exists = [](const std::string &path) { return access(path.c_str(), F_OK) == 0; };
    for (int i = 0; i < 500 && !exists(bus); i++)
        usleep(10000);
    helpers_.push_back(SpawnChild({"pipewire"}, toLog));
    for (int i = 0; i < 500 && !exists(runtimeDir_ + "/pipewire-0"); i++)
        usleep(10000);
    helpers_.push_back(SpawnChild({"wireplumber"}, toLog));
    pid_ = SpawnChild({"pipewire-pulse"}, toLog);
    for (int i = 0; i < 500 && Pactl("info").empty(); i++)
        usleep(10000);
    Pactl("load-module module-null-sink sink_name=speakers channels=2");
    // This pulse server has no null source module; a virtual source is its equivalent.
    Pactl("load-module module-null-sink sink_name=microphone media.class=Audio/Source/Virtual");
    for (int i = 0; i < 500 && SinkIndex("speakers") < 0; i++)
        usleep(10000);
    Pactl("set-default-sink speakers");
    Pactl("set-default-source microphone");
    return WaitReady();
}

bool PulseServer::WaitReady() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (SinkIndex("speakers") >= 0 && DefaultSink() == "speakers") return true;
        int status;
        if (WaitChild(pid_, 0, &status)) {
            pid_ = -1;
            return false;
        }
        usleep(20000);
    }
    return false;
}

void PulseServer::Stop() {
    EndChild(pid_);
    pid_ = -1;
    for (auto helper = helpers_.rbegin(); helper != helpers_.rend(); ++helper)
        EndChild(*helper);
    helpers_.clear();
    if (!runtimeDir_.empty()) {
        std::string command = "rm -rf '" + runtimeDir_ + "'";
        if (system(command.c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", runtimeDir_.c_str());
        runtimeDir_.clear();
    }
}

std::string PulseServer::Pactl(const std::string &arguments) {
    return RunCommand("pactl " + arguments + " 2>/dev/null");
}

std::string PulseServer::DefaultSink() {
    std::string name = Pactl("get-default-sink");
    while (!name.empty() && (name.back() == '\n' || name.back() == ' '))
        name.pop_back();
    return name;
}

// Index and name of every sink, from pactl's short listing.
static std::vector<std::pair<int, std::string>> ShortSinks(const std::string &listing) {
    std::vector<std::pair<int, std::string>> sinks;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        int index;
        std::string sink;
        if (fields >> index >> sink) sinks.push_back({index, sink});
    }
    return sinks;
}

int PulseServer::SinkIndex(const std::string &name) {
    for (const auto &[index, sink] : ShortSinks(Pactl("list short sinks")))
        if (sink == name) return index;
    return -1;
}

int PulseServer::SourceRate(const std::string &name) {
    std::istringstream lines(Pactl("list short sources"));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string index, source, field;
        if (!(fields >> index >> source) || source != name) continue;
        while (fields >> field)
            if (field.size() > 2 && field.compare(field.size() - 2, 2, "Hz") == 0)
                return atoi(field.c_str());
    }
    return 0;
}

std::vector<std::pair<int, int>> PulseServer::Streams() {
    std::vector<std::pair<int, int>> streams;
    std::istringstream lines(Pactl("list short sink-inputs"));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        int index, sink;
        if (fields >> index >> sink) streams.push_back({index, sink});
    }
    return streams;
}

std::vector<std::string> PulseServer::SinksStartingWith(const std::string &prefix) {
    std::vector<std::string> names;
    for (const auto &[index, sink] : ShortSinks(Pactl("list short sinks")))
        if (sink.rfind(prefix, 0) == 0) names.push_back(sink);
    return names;
}

static void PutLe(FILE *file, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; i++)
        fputc((value >> (8 * i)) & 0xff, file);
}

bool WriteToneWav(const std::string &path, double frequency, double amplitude, int rate,
                  double seconds) {
    FILE *file = fopen(path.c_str(), "wb");
    if (!file) return false;
    const uint32_t frames = static_cast<uint32_t>(rate * seconds);
    const uint32_t dataBytes = frames * 4;
    fwrite("RIFF", 1, 4, file);
    PutLe(file, 36 + dataBytes, 4);
    fwrite("WAVEfmt ", 1, 8, file);
    PutLe(file, 16, 4);
    PutLe(file, 1, 2);
    PutLe(file, 2, 2);
    PutLe(file, rate, 4);
    PutLe(file, rate * 4, 4);
    PutLe(file, 4, 2);
    PutLe(file, 16, 2);
    fwrite("data", 1, 4, file);
    PutLe(file, dataBytes, 4);
    for (uint32_t i = 0; i < frames; i++) {
        const int16_t value = static_cast<int16_t>(
            std::lround(amplitude * 32767.0 * std::sin(2 * M_PI * frequency * i / rate)));
        PutLe(file, static_cast<uint16_t>(value), 2);
        PutLe(file, static_cast<uint16_t>(value), 2);
    }
    return fclose(file) == 0;
}

static double ComponentRms(const std::vector<double> &x, int rate, double frequency) {
    double re = 0, im = 0;
    for (size_t i = 0; i < x.size(); i++) {
        const double phase = 2 * M_PI * frequency * i / rate;
        re += x[i] * std::cos(phase);
        im += x[i] * std::sin(phase);
    }
    // A sine of amplitude A yields |X| = A·N/2; its RMS is A/√2.
    return std::sqrt(re * re + im * im) * 2 / x.size() / std::sqrt(2.0);
}

static ToneMeasure Measure(const std::vector<double> &x, int rate, double frequency) {
    ToneMeasure measure = {0, 0, 0};
    if (x.empty()) return measure;
    double sum = 0;
    for (double v : x)
        sum += v * v;
    measure.rms = std::sqrt(sum / x.size());
    measure.toneRms = ComponentRms(x, rate, frequency);
    double best = -1;
    for (double f = 500; f <= 2000; f += 10) {
        const double level = ComponentRms(x, rate, f);
        if (level > best) {
            best = level;
            measure.peakHz = f;
        }
    }
    return measure;
}

ToneMeasure MeasureTone(const int16_t *samples, size_t frames, int rate, double frequency) {
    std::vector<double> x(frames);
    for (size_t i = 0; i < frames; i++)
        x[i] = samples[2 * i] / 32768.0;
    return Measure(x, rate, frequency);
}

ToneMeasure MeasureToneFloat(const float *samples, size_t frames, int channels, int rate,
                             double frequency) {
    std::vector<double> x(frames);
    for (size_t i = 0; i < frames; i++)
        x[i] = samples[channels * i];
    return Measure(x, rate, frequency);
}

// The recording is pinned to its source (PA_STREAM_DONT_MOVE): sound servers move streams
// that record the default sink's monitor along with the default, and this one must keep
// listening to the speakers whatever the capture does to the default.
bool SourceRecorder::Start(const std::string &source) {
    running_ = true;
    ready_ = 0;
    thread_ = std::thread(&SourceRecorder::Run, this, const_cast<char *>(source.c_str()));
    while (ready_.load() == 0)
        usleep(1000);
    if (ready_.load() > 0) return true;
    Stop();
    return false;
}

void SourceRecorder::Run(void *sourceName) {
    const std::string source = static_cast<const char *>(sourceName);
    pa_mainloop *loop = pa_mainloop_new();
    pa_context *context = pa_context_new(pa_mainloop_get_api(loop), "ostrel-test");
    pa_stream *stream = nullptr;
    pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    std::vector<int16_t> chunk;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (running_) {
        if (pa_mainloop_iterate(loop, 0, nullptr) < 0) break;
        const pa_context_state_t state = pa_context_get_state(context);
        if (!PA_CONTEXT_IS_GOOD(state)) break;
        if (state == PA_CONTEXT_READY && !stream) {
            pa_sample_spec spec = {PA_SAMPLE_S16LE, 44100, 2};
            pa_buffer_attr attr;
            attr.maxlength = static_cast<uint32_t>(-1);
            attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
            attr.fragsize = 441 * 4;
            stream = pa_stream_new(context, "monitor check", &spec, nullptr);
            pa_stream_connect_record(
                stream, source.c_str(), &attr,
                static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY));
        }
        if (stream && pa_stream_get_state(stream) == PA_STREAM_READY && ready_.load() == 0)
            ready_ = 1;
        if (stream && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) break;
        if (ready_.load() == 0 && std::chrono::steady_clock::now() > deadline) break;
        while (stream && pa_stream_readable_size(stream) > 0) {
            const void *data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
            if (data) {
                const int16_t *samples = static_cast<const int16_t *>(data);
                chunk.insert(chunk.end(), samples, samples + bytes / 2);
            }
            pa_stream_drop(stream);
        }
        while (chunk.size() >= 441 * 2) {
            int peak = 0;
            for (size_t i = 0; i < 441 * 2; i++)
                peak = std::max(peak, std::abs(static_cast<int>(chunk[i])));
            chunk.erase(chunk.begin(), chunk.begin() + 441 * 2);
            std::lock_guard<std::mutex> hold(lock_);
            chunks_.push_back({phase.load(), peak});
        }
        usleep(2000);
    }
    if (ready_.load() == 0) ready_ = -1;
    if (stream) {
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
}

void SourceRecorder::Stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
}

std::vector<int> SourceRecorder::Peaks(int wanted) {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<int> peaks;
    for (auto &chunk : chunks_)
        if (chunk.first == wanted) peaks.push_back(chunk.second);
    return peaks;
}
