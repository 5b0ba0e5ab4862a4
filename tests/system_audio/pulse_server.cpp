#include "tests/system_audio/pulse_server.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pulse/simple.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

pid_t Spawn(const std::vector<std::string> &arguments) {
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void EndChild(pid_t pid, int signal) {
    if (pid <= 0) return;
    kill(pid, signal);
    for (int i = 0; i < 500; i++) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

static std::string RunCapture(const std::string &command) {
    std::string output;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    pclose(pipe);
    return output;
}

bool PulseServer::Start(int defaultRate) {
    char pattern[] = "/tmp/ostrel-pulse-XXXXXX";
    if (!mkdtemp(pattern)) return false;
    runtimeDir_ = pattern;
    chmod(runtimeDir_.c_str(), 0700);
    const std::string config = runtimeDir_ + "/daemon.conf";
    if (FILE *file = fopen(config.c_str(), "w")) {
        fprintf(file, "default-sample-rate = %d\nalternate-sample-rate = %d\nenable-memfd = no\n",
                defaultRate, defaultRate);
        fclose(file);
    }
    setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
    setenv("PULSE_CONFIG", config.c_str(), 1);
    unsetenv("PULSE_SERVER");
    unsetenv("PULSE_SINK");
    unsetenv("PULSE_SOURCE");
    pid_ = Spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                  "--log-target=stderr", "--log-level=error", "-L",
                  "module-native-protocol-unix auth-anonymous=1", "-L",
                  "module-null-sink sink_name=speakers channels=2",
                  // A source of its own, so that the default source is not the speakers'
                  // monitor: streams on the default source follow the default sink's
                  // monitor when the default sink changes, and the test's monitor check
                  // must stay on the speakers.
                  "-L", "module-null-source source_name=microphone"});
    if (pid_ < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (SinkIndex("speakers") >= 0 && DefaultSink() == "speakers") return true;
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
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
    if (!runtimeDir_.empty()) {
        std::string command = "rm -rf '" + runtimeDir_ + "'";
        if (system(command.c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", runtimeDir_.c_str());
        runtimeDir_.clear();
    }
}

std::string PulseServer::Pactl(const std::string &arguments) {
    return RunCapture("pactl " + arguments + " 2>/dev/null");
}

std::string PulseServer::DefaultSink() {
    std::string name = Pactl("get-default-sink");
    while (!name.empty() && (name.back() == '\n' || name.back() == ' '))
        name.pop_back();
    return name;
}

int PulseServer::SinkIndex(const std::string &name) {
    std::istringstream lines(Pactl("list short sinks"));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        int index;
        std::string sink;
        if (fields >> index >> sink && sink == name) return index;
    }
    return -1;
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
    std::istringstream lines(Pactl("list short sinks"));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        int index;
        std::string sink;
        if (fields >> index >> sink && sink.rfind(prefix, 0) == 0) names.push_back(sink);
    }
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
    for (double f = 100; f <= 5000; f += 10) {
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

bool SourceRecorder::Start(const std::string &source) {
    pa_sample_spec spec = {PA_SAMPLE_S16LE, 44100, 2};
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = 441 * 4;
    int error = 0;
    pa_simple *simple = pa_simple_new(nullptr, "ostrel-test", PA_STREAM_RECORD, source.c_str(),
                                      "monitor check", &spec, nullptr, &attr, &error);
    if (!simple) return false;
    running_ = true;
    thread_ = std::thread(&SourceRecorder::Run, this, simple);
    return true;
}

void SourceRecorder::Run(void *handle) {
    pa_simple *simple = static_cast<pa_simple *>(handle);
    int16_t chunk[441 * 2];
    while (running_) {
        int error = 0;
        if (pa_simple_read(simple, chunk, sizeof chunk, &error) < 0) break;
        int peak = 0;
        for (int16_t v : chunk)
            peak = std::max(peak, std::abs(static_cast<int>(v)));
        std::lock_guard<std::mutex> hold(lock_);
        chunks_.push_back({phase.load(), peak});
    }
    pa_simple_free(simple);
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
