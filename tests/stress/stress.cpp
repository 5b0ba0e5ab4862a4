// ostrel-stress: random sequences of what a user, the receivers and the sound server do,
// played against the real controller with its real mirroring and audio connections, X
// capture from a virtual display and system audio on a private PulseAudio, in a private
// network namespace with built-in receivers on loopback addresses.
//
// The desktop side (timers, password window, reminder window) is this program's own: the
// main thread plays the user-interface thread. After every step it checks that the step
// returned within a bound; between sequences, once everything has been stopped, that no
// private sink is left, the default sink and both players' streams are back where they
// were, and no thread, descriptor or timer is left behind. A sanitizer report ends the run
// with the sanitizer's own status.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/log.h"
#include "capture/capture_manager.h"
#include "capture/displays.h"
#include "mirroring/mirroring_connection.h"
#include "plist/cfvalue.h"
#include "shell/audio_link.h"
#include "shell/capture_link.h"
#include "shell/controller.h"
#include "shell/settings.h"
#include "system_audio/ov_system_audio.h"
#include "tests/stress/stress_peers.h"
#include "tests/support/child_process.h"
#include "tests/support/file_text.h"
#include "tests/support/private_network.h"
#include "tests/support/wait.h"
#include "video/frame_encoder.h"

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

#if defined(__SANITIZE_THREAD__)
extern "C" const char *__tsan_default_options() {
    // Every report is shown and the run goes on; any report makes the exit status 66.
    return "halt_on_error=0:exitcode=66:second_deadlock_stack=1";
}
constexpr int kSlowdown = 3;
#elif defined(__SANITIZE_ADDRESS__)
extern "C" const char *__asan_default_options() {
    return "detect_leaks=1:abort_on_error=1";
}
constexpr int kSlowdown = 2;
#else
constexpr int kSlowdown = 1;
#endif

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// ---- options ----

struct Options {
    uint64_t seed = 0;
    int sequences = 0;  // 0: until minutes have passed
    double minutes = 0; // 0: sequences only
    int steps = 20;     // per sequence
    int only = -1;      // replay this sequence only
    int stepBoundMs = 5000 * kSlowdown;
    int settleMs = 20000 * kSlowdown;
    std::string receiver = OSTREL_RECEIVER;
    std::string keep; // folder to leave the logs in
};

// ---- the desktop side: this program plays the user-interface thread ----

struct Timer {
    Clock::time_point due;
    int periodMs;
    bool repeat;
};

// Reminder minutes go by in two seconds, its ticks in 33 ms: the whole countdown runs in a
// few seconds of a sequence.
constexpr int kTimeScale = 30;

struct Desktop {
    std::mutex lock;
    std::condition_variable wake;
    std::map<int, Timer> timers;              // under lock
    std::deque<std::function<void()>> posted; // under lock; run on the main thread
    std::atomic<int> passwordShown{0};
    std::atomic<int> passwordAsks{0};
    std::atomic<int> deviceInUse{0};
    std::atomic<int> ended{0};
    std::atomic<int> awake{0};  // preventDisplaySleep minus allowDisplaySleep
    bool reminderShown = false; // main thread
    std::string reminderText;
    int remindersShown = 0;
    Controller *controller = nullptr;
};

Desktop desktop;
Controller controller;

void Post(std::function<void()> task) {
    std::lock_guard<std::mutex> hold(desktop.lock);
    desktop.posted.push_back(std::move(task));
    desktop.wake.notify_all();
}

const ControllerPlatformOps kStressDesktop = {
    .preventDisplaySleep = [](void *) { desktop.awake++; },
    .allowDisplaySleep = [](void *) { desktop.awake--; },
    .requestPasswordWindow =
        [](void *) {
            desktop.passwordAsks++;
            Post([] { OpenPasswordWindow(&controller); });
            return 1;
        },
    .openPasswordWindow = [](void *) { desktop.passwordShown = 1; },
    .closePasswordWindow = [](void *) { desktop.passwordShown = 0; },
    .showDeviceInUse = [](void *, const char *) { desktop.deviceInUse++; },
    .startTimer =
        [](void *, int id, int periodMs, int repeat) {
            std::lock_guard<std::mutex> hold(desktop.lock);
            int scaled = std::max(1, periodMs / kTimeScale);
            desktop.timers[id] = {Clock::now() + std::chrono::milliseconds(scaled), scaled,
                                  repeat != 0};
            desktop.wake.notify_all();
        },
    .killTimer =
        [](void *, int id) {
            std::lock_guard<std::mutex> hold(desktop.lock);
            desktop.timers.erase(id);
        },
    .showReminder =
        [](void *, const char *text) {
            desktop.reminderShown = true;
            desktop.reminderText = text;
            desktop.remindersShown++;
        },
    .setReminderText = [](void *, const char *text) { desktop.reminderText = text; },
    .reminderVisible = [](void *) { return desktop.reminderShown ? 1 : 0; },
    .hideReminder = [](void *) { desktop.reminderShown = false; },
    .activateWindow = [](void *, uintptr_t) {},
    .startNetworkMonitor = [](void *) {},
    .stopNetworkMonitor = [](void *) {},
    .connectionEnded = [](void *) { desktop.ended++; },
};

// Runs posted work and due timers on this (the main) thread for ms milliseconds.
void Pump(int ms) {
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        std::vector<std::function<void()>> work;
        std::vector<int> fired;
        {
            std::unique_lock<std::mutex> hold(desktop.lock);
            auto now = Clock::now();
            auto next = until;
            for (auto &[id, timer] : desktop.timers) {
                if (timer.due <= now) {
                    fired.push_back(id);
                    timer.due = now + std::chrono::milliseconds(timer.periodMs);
                }
                next = std::min(next, timer.due);
            }
            while (!desktop.posted.empty()) {
                work.push_back(std::move(desktop.posted.front()));
                desktop.posted.pop_front();
            }
            if (work.empty() && fired.empty()) {
                if (now >= until) return;
                desktop.wake.wait_until(hold, next);
                continue;
            }
        }
        for (auto &task : work)
            task();
        for (int id : fired) {
            // A one-shot timer is not the platform's to stop: the controller kills it.
            ControllerTimerFired(&controller, id);
        }
    }
}

// ---- discovery: the receivers this run started ----

std::vector<Receiver> receivers;

const ControllerDiscoveryOps kStressDiscovery = {
    .serviceList =
        [](void *) {
            CFValue *list = CFArrayNew(4);
            for (auto &r : receivers) {
                CFValue *name = CFStringFromBytes(r.name.c_str(), 0);
                CFArrayPush(list, name);
                CFValueRelease(name);
            }
            return list;
        },
    .resolve = [](void *, const char *name, char *deviceId, int *passwordRequired) -> CFValue * {
        for (size_t i = 0; i < receivers.size(); i++) {
            if (receivers[i].name != name) continue;
            snprintf(deviceId, 64, "58:55:CA:1A:E2:%02zX", 0x80 + i);
            *passwordRequired = receivers[i].password.empty() ? 0 : 1;
            return CFStringFromBytes(receivers[i].address.c_str(), 0);
        }
        return nullptr;
    },
    .audioPort = [](void *, const char *) -> uint16_t { return 47000; },
    .start = [](void *) {},
    .forget = [](void *) {},
    .selectedIndex = nullptr,
    .setSelectedIndex = nullptr,
};

void OnCaptureFailed(void *, void *connection, const char *) {
    MirroringConnectionCaptureFailed(static_cast<MirroringConnection *>(connection));
}

struct Run;

// ---- the watchdog: a step that does not return within its bound ends the run ----

struct Watchdog {
    std::atomic<int64_t> stepStartMs{0}; // 0: no step running
    std::atomic<int> boundMs{0};
    std::string step; // under lock
    std::mutex lock;
    std::atomic<bool> quit{false};
    std::thread thread;
    std::string work;
};
Watchdog watchdog;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

std::string LogTail(const std::string &path, size_t bytes) {
    std::string text = ReadFileText(path);
    return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}

Run *activeRun; // for KillPeers

// The peers of a run that ends abnormally (the watchdog, a sanitizer's report): SIGKILL, since
// not every peer keeps the death signal it was started with.
void KillPeers();

void WatchdogRun() {
    while (!watchdog.quit.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        int64_t start = watchdog.stepStartMs.load();
        if (!start || NowMs() - start <= watchdog.boundMs.load()) continue;
        std::string step;
        {
            std::lock_guard<std::mutex> hold(watchdog.lock);
            step = watchdog.step;
        }
        fprintf(stderr, "\nFAIL: step \"%s\" has not returned after %d ms; threads:\n",
                step.c_str(), watchdog.boundMs.load());
        std::string stacks = watchdog.work + "/stacks.txt";
        RunCommand("timeout 60 gdb -p " + std::to_string(getpid()) +
                   " -batch -ex 'thread apply all bt' >'" + stacks + "' 2>&1");
        fprintf(stderr, "%s\n--- the program's log, last lines ---\n%s\n",
                ReadFileText(stacks).c_str(), LogTail(watchdog.work + "/ostrel.log", 6000).c_str());
        fflush(stderr);
        KillPeers();
        _exit(3);
    }
}

// Runs one step on this thread under the watchdog; returns its duration in ms.
double Timed(const std::string &what, int boundMs, const std::function<void()> &step) {
    {
        std::lock_guard<std::mutex> hold(watchdog.lock);
        watchdog.step = what;
    }
    watchdog.boundMs = boundMs;
    auto start = Clock::now();
    watchdog.stepStartMs = NowMs();
    step();
    watchdog.stepStartMs = 0;
    return Seconds(start) * 1e3;
}

// ---- the run ----

struct Stats {
    int sequences = 0, steps = 0, connects = 0, streamed = 0, audioStreamed = 0;
    int passwordsOk = 0, passwordsWrong = 0, passwordsCancelled = 0;
    int reminderAnswers = 0, receiverFaults = 0, soundKills = 0;
    std::map<std::string, double> slowestMs;  // per kind of step
    std::vector<std::string> findings;        // first of each kind
    std::map<std::string, int> findingCounts; // by kind
};

struct Run {
    Options options;
    std::string work;
    XDisplay display;
    SoundServer sound;
    Stats stats;
    std::mt19937_64 random;
    std::vector<std::string> trail; // this sequence's steps
    // Peers to put back: time due, what.
    std::vector<std::pair<Clock::time_point, std::function<void()>>> pending;
    std::map<std::string, int> baseThreads;
    std::map<int, std::string> baseFds;
    MirroringConnection *lastStreamed = nullptr;
    MirroringConnection *lastAudioStreamed = nullptr;
    int sequence = -1; // -1: the warm-up
};

void KillPeers() {
    Run *run = activeRun;
    if (!run) return;
    // What led here, for a replay with --only.
    fprintf(stderr, "ostrel-stress: ended in sequence %d of seed %llu; its steps: ", run->sequence,
            (unsigned long long)run->options.seed);
    for (auto &step : run->trail)
        fprintf(stderr, "%s; ", step.c_str());
    fprintf(stderr, "\n");
    std::vector<pid_t> pids = {run->display.pid, run->sound.pid};
    pids.insert(pids.end(), run->sound.players.begin(), run->sound.players.end());
    for (auto &r : receivers)
        pids.push_back(r.pid);
    for (pid_t pid : pids)
        if (pid > 0) kill(pid, SIGKILL);
}

int Pick(Run *run, int n) {
    return (int)(run->random() % (uint64_t)n);
}

int Between(Run *run, int low, int high) {
    return low + Pick(run, high - low + 1);
}

// A finding of a kind seen before is only counted: the first one carries the steps.
void Note(Run *run, const std::string &kind, const std::string &detail) {
    int &seen = run->stats.findingCounts[kind];
    if (seen++) return;
    std::string where =
        run->sequence < 0 ? std::string("warm-up") : "sequence " + std::to_string(run->sequence);
    std::string line = kind + ": " + detail + " (first in " + where + ", seed " +
                       std::to_string(run->options.seed) + ")";
    fprintf(stderr, "FINDING: %s\n  steps: ", line.c_str());
    for (auto &step : run->trail)
        fprintf(stderr, "%s; ", step.c_str());
    fprintf(stderr, "\n");
    run->stats.findings.push_back(line);
}

void Step(Run *run, const std::string &kind, const std::string &what,
          const std::function<void()> &step) {
    run->trail.push_back(what);
    double ms = Timed(what, run->options.stepBoundMs, step);
    double &slowest = run->stats.slowestMs[kind];
    slowest = std::max(slowest, ms);
}

// Waits on this thread, running timers and posted work, and puts peers back when due.
void Idle(Run *run, int ms) {
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
        Pump(std::min(50, std::max(1, (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                                          until - Clock::now())
                                          .count())));
        auto now = Clock::now();
        for (size_t i = 0; i < run->pending.size();) {
            if (run->pending[i].first > now) {
                i++;
                continue;
            }
            auto task = std::move(run->pending[i].second);
            run->pending.erase(run->pending.begin() + (ptrdiff_t)i);
            task();
        }
        MirroringConnection *current = controller.current;
        if (current && current->established.load() && current != run->lastStreamed) {
            run->lastStreamed = current;
            run->stats.streamed++;
        }
        if (current && current != run->lastAudioStreamed &&
            ControllerAudioState(&controller) == 9) {
            run->lastAudioStreamed = current;
            run->stats.audioStreamed++;
        }
    }
}

void Later(Run *run, int ms, std::function<void()> task) {
    run->pending.push_back({Clock::now() + std::chrono::milliseconds(ms), std::move(task)});
}

bool RestartReceiver(Run *run, Receiver *r) {
    if (r->pid > 0) return true;
    // A receiver that comes back may have had its password changed meanwhile: the stored
    // one is refused then, and the user is asked again.
    if (!r->password.empty()) r->password = Pick(run, 2) ? "secret" : "sesame";
    if (ReceiverStart(r, run->options.receiver)) return true;
    Note(run, "receiver did not start again", r->name);
    return false;
}

bool RestartSound(Run *run) {
    if (SoundServerUp(&run->sound)) return true;
    if (SoundServerStart(&run->sound)) return true;
    Note(run, "sound server did not start again", LogTail(run->work + "/pulse.log", 2000));
    return false;
}

// One random step.
void RandomStep(Run *run) {
    run->stats.steps++;
    int roll = Pick(run, 100);
    Controller *c = &controller;
    if (roll < 28) {
        int index = Pick(run, (int)receivers.size());
        bool again = index == ControllerSelectedIndex(c);
        run->stats.connects += again ? 0 : 1;
        Step(run, "choose", (again ? "choose again " : "choose ") + receivers[index].name,
             [&] { ConnectToSelectedService(c, index); });
    } else if (roll < 38) {
        Step(run, "sound", AudioEnabledFlag ? "sound off" : "sound on", [&] { ToggleAudio(c); });
    } else if (roll < 52) {
        if (!desktop.passwordShown.load()) return Idle(run, Between(run, 50, 400));
        int answer = Pick(run, 10);
        if (answer < 6) {
            run->stats.passwordsOk++;
            Step(run, "password", "password ok", [&] {
                desktop.passwordShown = 0;
                // The password of the one receiver that has one, as it stands now.
                std::string password;
                for (auto &r : receivers)
                    if (!r.password.empty()) password = r.password;
                PasswordWindowOk(c, password.c_str());
            });
        } else if (answer < 8) {
            run->stats.passwordsWrong++;
            Step(run, "password", "password wrong", [&] {
                desktop.passwordShown = 0;
                PasswordWindowOk(c, "guess");
            });
        } else {
            run->stats.passwordsCancelled++;
            Step(run, "password", "password cancel", [&] {
                desktop.passwordShown = 0;
                PasswordWindowCancel(c);
            });
        }
    } else if (roll < 60) {
        if (!desktop.reminderShown) return Idle(run, Between(run, 50, 400));
        run->stats.reminderAnswers++;
        int answer = Pick(run, 4);
        if (answer < 2)
            Step(run, "reminder", "reminder stop", [&] { ReminderStopMirroring(c); });
        else if (answer == 2)
            Step(run, "reminder", "reminder continue", [&] { ReminderContinue(c); });
        else
            Step(run, "reminder", "reminder closed", [&] { ReminderCloseRequested(c); });
    } else if (roll < 72) {
        Receiver *r = &receivers[Pick(run, (int)receivers.size())];
        if (r->pid < 0 || r->stopped) return Idle(run, Between(run, 50, 400));
        run->stats.receiverFaults++;
        int fault = Pick(run, 20);
        if (fault < 6) {
            Step(run, "receiver", r->name + " closes", [&] { ReceiverCommand(r, "close"); });
        } else if (fault < 9) {
            Step(run, "receiver", r->name + " closes sound",
                 [&] { ReceiverCommand(r, "close-audio"); });
        } else if (fault < 12) {
            r->busy = !r->busy;
            Step(run, "receiver", r->name + (r->busy ? " busy" : " not busy"),
                 [&] { ReceiverCommand(r, r->busy ? "busy on" : "busy off"); });
        } else if (fault < 14) {
            r->busyAudio = !r->busyAudio;
            static const char *const kSteps[] = {"OPTIONS", "ANNOUNCE", "SETUP", "RECORD"};
            std::string command =
                r->busyAudio ? std::string("busy-audio ") + kSteps[Pick(run, 4)] : "busy-audio off";
            Step(run, "receiver", r->name + " " + command, [&] { ReceiverCommand(r, command); });
        } else if (fault < 16) {
            Step(run, "receiver", r->name + " falls silent", [&] { ReceiverPause(r); });
            Later(run, Between(run, 500, 4000), [r] { ReceiverResume(r); });
        } else {
            Step(run, "receiver", r->name + " vanishes", [&] { ReceiverKill(r); });
            Later(run, Between(run, 500, 4000), [run, r] { RestartReceiver(run, r); });
        }
    } else if (roll < 75) {
        if (!SoundServerUp(&run->sound)) return Idle(run, Between(run, 50, 400));
        run->stats.soundKills++;
        Step(run, "sound server", "sound server killed", [&] { SoundServerKill(&run->sound); });
        Later(run, Between(run, 300, 3000), [run] { RestartSound(run); });
    } else if (roll < 79) {
        Step(run, "stop", "stop", [&] { StopCurrentConnection(c); });
    } else {
        int ms = Between(run, 50, 2500);
        run->trail.push_back("wait " + std::to_string(ms) + " ms");
        Idle(run, ms);
        return;
    }
    Idle(run, Between(run, 0, 300));
}

std::string Describe(const std::map<std::string, int> &threads) {
    std::string text;
    for (auto &[name, count] : threads)
        text += name + " x" + std::to_string(count) + ", ";
    return text;
}

template <typename Map> std::string Difference(const Map &now, const Map &base) {
    std::string text;
    for (auto &[key, value] : now) {
        auto it = base.find(key);
        if (it == base.end() || it->second != value) {
            if constexpr (std::is_same_v<typename Map::key_type, int>)
                text += std::to_string(key) + " -> " + value + "; ";
            else
                text += key + " x" + std::to_string(value) + "; ";
        }
    }
    return text;
}

// Everything put back, everything stopped; then what must hold at rest.
void Rest(Run *run, bool takeBaseline) {
    Controller *c = &controller;
    // The peers come back first: a stopped receiver answers what it was asked meanwhile.
    for (auto &[due, task] : run->pending)
        task();
    run->pending.clear();
    for (auto &r : receivers) {
        if (r.stopped) ReceiverResume(&r);
        RestartReceiver(run, &r);
        if (r.busy) ReceiverCommand(&r, "busy off");
        if (r.busyAudio) ReceiverCommand(&r, "busy-audio off");
        r.busy = r.busyAudio = false;
    }
    RestartSound(run);
    // A connection under way must end up streaming or ended within the bound.
    MirroringConnection *current = c->current;
    if (current && current->stopState.load() != 2) {
        auto settled = [&] {
            return current->stopState.load() == 2 ||
                   (current->established.load() && current->state.load() == kMirroringStreaming &&
                    !desktop.passwordShown.load());
        };
        auto start = Clock::now();
        while (!settled() && !desktop.passwordShown.load() &&
               Seconds(start) * 1e3 < run->options.settleMs)
            Idle(run, 50);
        if (!settled() && !desktop.passwordShown.load())
            Note(run, "connection neither streaming nor ended",
                 "state " + std::to_string(current->state.load()) + " (established " +
                     std::to_string(current->established.load()) + ") for " +
                     std::to_string(run->options.settleMs) + " ms");
        if (settled() && current->stopState.load() != 2 && AudioEnabledFlag) {
            auto audioSettled = [&] {
                int state = ControllerAudioState(c);
                return state == 0 || state == 9 || current->stopState.load() == 2;
            };
            start = Clock::now();
            while (!audioSettled() && Seconds(start) * 1e3 < run->options.settleMs)
                Idle(run, 50);
            if (!audioSettled())
                Note(run, "sound neither streaming nor ended",
                     "state " + std::to_string(ControllerAudioState(c)) + " for " +
                         std::to_string(run->options.settleMs) + " ms");
        }
    }
    if (desktop.passwordShown.load())
        Step(run, "password", "password cancel (rest)", [&] {
            desktop.passwordShown = 0;
            PasswordWindowCancel(c);
        });
    if (desktop.reminderShown)
        Step(run, "reminder", "reminder stop (rest)", [&] { ReminderStopMirroring(c); });
    Step(run, "stop", "stop (rest)", [&] { StopCurrentConnection(c); });
    Idle(run, 20);
    if (c->current && c->current->stopState.load() != 2)
        Note(run, "connection not stopped by the stop", "");
    if (ControllerSelectedIndex(c) != -1)
        Note(run, "receiver still selected after the connection ended", "");
    {
        std::lock_guard<std::mutex> hold(desktop.lock);
        if (!desktop.timers.empty())
            Note(run, "reminder timer left running after the connection ended",
                 "id " + std::to_string(desktop.timers.begin()->first));
        desktop.timers.clear();
    }
    if (desktop.awake.load() > 0) Note(run, "display still kept awake after the stop", "");
    desktop.reminderShown = false;
    // The user's sound as it was.
    std::string soundProblem;
    auto soundBack = [&] {
        soundProblem.clear();
        for (auto &sink : SoundSinks())
            if (sink.rfind("ostrel_capture", 0) == 0) soundProblem += "private sink " + sink + "; ";
        std::string fallback = SoundDefaultSink();
        if (fallback != "speakers") soundProblem += "default sink " + fallback + "; ";
        auto streams = SoundStreamSinks();
        for (const char *player : {"speakers", "headphones"})
            if (streams[player] != player)
                soundProblem += std::string("the ") + player + " stream on " +
                                (streams[player].empty() ? "(none)" : streams[player]) + "; ";
        return soundProblem.empty();
    };
    if (!WaitUntil(soundBack, 5000 * kSlowdown)) Note(run, "sound not put back", soundProblem);
    if (!soundBack()) {
        // Later sequences start from the user's sound as it should be.
        SoundServerKill(&run->sound);
        RestartSound(run);
    }
    // Threads and descriptors as at the start.
    if (takeBaseline) {
        WaitUntil([] { return false; }, 500);
        run->baseThreads = ProcessThreads();
        run->baseFds = ProcessDescriptors();
        return;
    }
    bool threadsBack = WaitUntil([&] { return Total(ProcessThreads()) <= Total(run->baseThreads); },
                                 5000 * kSlowdown);
    if (!threadsBack)
        Note(run, "threads left",
             Difference(ProcessThreads(), run->baseThreads) +
                 "(at rest before: " + Describe(run->baseThreads) + ")");
    bool fdsBack = WaitUntil([&] { return ProcessDescriptors().size() <= run->baseFds.size(); },
                             5000 * kSlowdown);
    if (!fdsBack) Note(run, "descriptors left", Difference(ProcessDescriptors(), run->baseFds));
    // A leak found once is not reported again for every later sequence.
    if (!threadsBack) run->baseThreads = ProcessThreads();
    if (!fdsBack) run->baseFds = ProcessDescriptors();
}

// One connection with sound to the first receiver, streamed and stopped, so that what the
// process keeps from then on (encoder, sound-server connection) is part of the baseline.
bool Warmup(Run *run) {
    Controller *c = &controller;
    run->trail = {"warm-up"};
    Step(run, "choose", "choose " + receivers[0].name, [&] { ConnectToSelectedService(c, 0); });
    auto start = Clock::now();
    auto streaming = [&] {
        return ControllerEstablished(c) && ControllerAudioState(c) == 9 &&
               ReceiverLogCount(&receivers[0], "video packet") > 0;
    };
    while (!streaming() && Seconds(start) * 1e3 < run->options.settleMs)
        Idle(run, 50);
    if (!streaming()) {
        fprintf(stderr, "FAIL: the warm-up connection did not stream with sound; log:\n%s\n",
                LogTail(run->work + "/ostrel.log", 6000).c_str());
        return false;
    }
    Rest(run, true);
    return true;
}

void Sequence(Run *run, int number) {
    run->random.seed(run->options.seed * 1000003ULL + (uint64_t)number);
    run->sequence = number;
    run->trail.clear();
    run->stats.sequences++;
    int findingsBefore = 0;
    for (auto &[kind, count] : run->stats.findingCounts)
        findingsBefore += count;
    auto start = Clock::now();
    int steps = run->options.steps;
    for (int i = 0; i < steps; i++)
        RandomStep(run);
    Rest(run, false);
    int findingsAfter = 0;
    for (auto &[kind, count] : run->stats.findingCounts)
        findingsAfter += count;
    fprintf(stdout, "sequence %d: %d steps in %.1f s%s\n", number, steps, Seconds(start),
            findingsAfter > findingsBefore ? ", findings" : "");
    fflush(stdout);
}

bool ParseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; i++) {
        std::string flag = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto take = [&] {
            i++;
            return value != nullptr;
        };
        if (flag == "--seed" && take())
            o->seed = strtoull(value, nullptr, 10);
        else if (flag == "--sequences" && take())
            o->sequences = atoi(value);
        else if (flag == "--minutes" && take())
            o->minutes = atof(value);
        else if (flag == "--steps" && take())
            o->steps = atoi(value);
        else if (flag == "--only" && take())
            o->only = atoi(value);
        else if (flag == "--step-bound-ms" && take())
            o->stepBoundMs = atoi(value);
        else if (flag == "--receiver" && take())
            o->receiver = value;
        else if (flag == "--keep" && take())
            o->keep = value;
        else {
            fprintf(stderr,
                    "usage: ostrel-stress [--seed N] [--sequences N] [--minutes M] [--steps N]\n"
                    "                     [--only SEQUENCE] [--step-bound-ms MS]\n"
                    "                     [--receiver PATH] [--keep FOLDER]\n");
            return false;
        }
    }
    if (o->sequences <= 0 && o->minutes <= 0) o->sequences = 5;
    if (o->steps < 1) o->steps = 1;
    return true;
}

} // namespace

int main(int argc, char **argv) {
    Run run;
    Options &o = run.options;
    o.seed = (uint64_t)time(nullptr);
    if (!ParseOptions(argc, argv, &o)) return 2;
    // The protocol's ports are fixed: receivers and sender live in a namespace of their own.
    if (!EnterPrivateNetwork()) {
        printf("SKIP: no private network namespace (needs root)\n");
        return 77;
    }
    char pattern[] = "/tmp/ostrel-stress-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    run.work = pattern;
    watchdog.work = run.work;
    // Everything the libraries read from the environment is set before the first thread.
    for (const char *dir : {"/run", "/data", "/config"})
        RunCommand("mkdir -p '" + run.work + dir + "' && chmod 700 '" + run.work + dir + "'");
    setenv("XDG_RUNTIME_DIR", (run.work + "/run").c_str(), 1);
    setenv("XDG_DATA_HOME", (run.work + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (run.work + "/config").c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/ostrel-no-bus", 1);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/ostrel-no-bus", 1);
    for (const char *name : {"PULSE_SERVER", "PULSE_SINK", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"})
        unsetenv(name);
    signal(SIGPIPE, SIG_IGN);
    printf("ostrel-stress: seed %llu, %s, work folder %s\n", (unsigned long long)o.seed,
           kSlowdown > 1 ? "sanitizer build" : "plain build", run.work.c_str());
    fflush(stdout);

    run.sound.work = run.work;
    activeRun = &run;
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    __sanitizer_set_death_callback(KillPeers);
#endif
    auto endPeers = [&] {
        // A sanitizer that reported calls its death callback at exit, after run is gone.
        activeRun = nullptr;
        for (auto &r : receivers)
            ReceiverStop(&r);
        SoundServerStop(&run.sound);
        XDisplayStop(&run.display);
    };
    if (!XDisplayStart(&run.display, run.work) || !SoundServerStart(&run.sound)) {
        fprintf(stderr, "FAIL: the display or the sound server did not start\n%s\n",
                ReadFileText(run.work + "/pulse.log").c_str());
        endPeers();
        return 1;
    }
    const char *names[] = {"Alpha", "Beta (password)", "Gamma"};
    for (int i = 0; i < 3; i++) {
        Receiver r;
        r.name = names[i];
        r.address = "127.0.0." + std::to_string(2 + i);
        r.password = i == 1 ? "secret" : "";
        r.control = run.work + "/rx" + std::to_string(i) + ".control";
        r.log = run.work + "/rx" + std::to_string(i) + ".log";
        receivers.push_back(r);
    }
    for (auto &r : receivers)
        if (!ReceiverStart(&r, o.receiver)) {
            fprintf(stderr, "FAIL: receiver %s did not start:\n%s\n", r.name.c_str(),
                    ReadFileText(r.log).c_str());
            endPeers();
            return 1;
        }

    // The program's side, as its main() sets it up.
    SetDebugLogPath((run.work + "/ostrel.log").c_str());
    OpenDebugLog();
    LogOutputMode = 0;
    LogLevelThreshold = 1;
    SettingsOpen();
    Settings.values.mirroringReminder = 1;
    Settings.values.mirroringReminderMinutes = 1;
    AudioEnabledFlag = true;
    OvSystemAudioRestoreStale();
    EnumerateDisplays();
    const SettingsValues &s = Settings.values;
    CaptureManager *manager =
        CaptureManagerCreate(s.overscan, s.quality, s.showMouse, s.force720p, 30.0);
    if (!manager) {
        endPeers();
        return 1;
    }
    manager->onTargetLost = ForgetAppWindow;
    manager->user = &controller;
    manager->onCaptureFailed = OnCaptureFailed;
    SetEncodedFrameHandler(EnqueueVideoFrame);
    CFValue *deviceId = CFStringFromBytes("0x5855ca1ae2ff", 0);
    desktop.controller = &controller;
    ControllerInit(&controller, deviceId, manager, &kCaptureManagerOps, &kStressDesktop, nullptr,
                   nullptr);
    ControllerSetDiscovery(&controller, &kStressDiscovery, nullptr);
    ControllerSetAudio(&controller, &kAudioStreamOps, nullptr, AudioStreamTable());

    watchdog.thread = std::thread(WatchdogRun);
    auto start = Clock::now();
    bool warm = Warmup(&run);
    if (warm && o.only >= 0) {
        Sequence(&run, o.only);
    } else if (warm) {
        for (int n = 0;; n++) {
            if (o.sequences > 0 && n >= o.sequences) break;
            if (o.minutes > 0 && Seconds(start) >= o.minutes * 60) break;
            Sequence(&run, n);
        }
    }

    Timed("shutdown", o.stepBoundMs, [&] {
        ControllerShutdown(&controller);
        CaptureManagerDestroy(manager);
    });
    CFValueRelease(deviceId);
    watchdog.quit = true;
    watchdog.thread.join();
    endPeers();
    CloseDebugLog();

    Stats &st = run.stats;
    printf("ostrel-stress: seed %llu: %d sequences, %d steps in %.1f min; %d connects, %d "
           "streamed, %d with sound; passwords %d ok, %d wrong, %d cancelled; %d reminder "
           "answers, %d receiver faults, %d sound-server kills\n",
           (unsigned long long)o.seed, st.sequences, st.steps, Seconds(start) / 60, st.connects,
           st.streamed, st.audioStreamed, st.passwordsOk, st.passwordsWrong, st.passwordsCancelled,
           st.reminderAnswers, st.receiverFaults, st.soundKills);
    printf("slowest step (ms):");
    for (auto &[kind, ms] : st.slowestMs)
        printf(" %s %.0f;", kind.c_str(), ms);
    printf("\n%zu kinds of finding\n", st.findings.size());
    for (auto &finding : st.findings)
        printf("  x%d %s\n", st.findingCounts[finding.substr(0, finding.find(": "))],
               finding.c_str());
    if (!o.keep.empty())
        RunCommand("mkdir -p '" + o.keep + "' && cp '" + run.work + "'/*.log '" + o.keep + "/'");
    RunCommand("rm -rf '" + run.work + "'");
    return warm && st.findings.empty() ? 0 : 1;
}
