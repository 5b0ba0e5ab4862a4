// A private PulseAudio server for the system audio tests, plus the signals and players they
// use. The server gets its own runtime directory, which this process adopts
// (XDG_RUNTIME_DIR), so every libpulse client started here or by the children talks to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"

// OSTREL_TEST_SOUND_SERVER=pipewire runs PipeWire's pulse server (with wireplumber and a
// session bus) instead of PulseAudio.
class PulseServer {
  public:
    ~PulseServer() { Stop(); }
    // Starts the server with the default sample rate given and one null sink, "speakers",
    // as the default. False when the server does not come up.
    bool Start(int defaultRate = 44100);
    void Stop();
    // Kills the server (SIGKILL) as a crash does; its runtime directory stays, and Revive
    // starts a new server there with the same sinks, as a service manager's restart does.
    void Kill();
    bool Revive(int defaultRate = 44100);
    // Runs pactl with arguments; its standard output.
    std::string Pactl(const std::string &arguments);
    std::string DefaultSink();
    // Index of the sink named name, or -1.
    int SinkIndex(const std::string &name);
    // The sample rate the server gives for a source, or 0.
    int SourceRate(const std::string &name);
    // Sink index of every playback stream, by stream index.
    std::vector<std::pair<int, int>> Streams();
    // Names of the sinks whose name starts with prefix.
    std::vector<std::string> SinksStartingWith(const std::string &prefix);
    const std::string &RuntimeDir() const { return runtimeDir_; }
    pid_t Pid() const { return pid_; }

  private:
    bool StartPulseAudio(int defaultRate);
    bool StartPipeWire(int defaultRate);
    bool WaitReady();
    std::string runtimeDir_;
    std::string log_;
    pid_t pid_ = -1;             // the server clients talk to
    std::vector<pid_t> helpers_; // what it needs, started before it
};

// Writes a 16-bit stereo WAV of a sine tone.
bool WriteToneWav(const std::string &path, double frequency, double amplitude, int rate,
                  double seconds);

// Level of a tone in interleaved 16-bit stereo (left channel), scaled to [-1, 1].
struct ToneMeasure {
    double rms;     // of the whole signal
    double toneRms; // of the component at the frequency asked for
    double peakHz;  // strongest frequency between 500 and 2000 Hz (10 Hz steps)
};
ToneMeasure MeasureTone(const int16_t *samples, size_t frames, int rate, double frequency);
ToneMeasure MeasureToneFloat(const float *samples, size_t frames, int channels, int rate,
                             double frequency);

// Records a source (such as "speakers.monitor") on a thread and keeps, for every 10 ms
// chunk, its peak level and the phase the test had set when it arrived.
class SourceRecorder {
  public:
    ~SourceRecorder() { Stop(); }
    bool Start(const std::string &source);
    void Stop();
    std::atomic<int> phase{0};
    // Peaks of the chunks recorded in phase.
    std::vector<int> Peaks(int phase);

  private:
    void Run(void *sourceName);
    std::atomic<int> ready_{0}; // 1 recording, -1 failed
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::mutex lock_;
    std::vector<std::pair<int, int>> chunks_; // phase, peak
};
