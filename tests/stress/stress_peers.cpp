#include "tests/stress/stress_peers.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/support/child_process.h"
#include "tests/support/file_text.h"
#include "tests/support/wait.h"

namespace {

// A peer dies with this program, whatever ends it (a sanitizer's abort, the watchdog): the
// kernel sends it SIGKILL when the main thread, which starts every peer, is gone.
std::vector<std::string> Tied(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"setpriv", "--pdeathsig", "KILL", "--"});
    return argv;
}

} // namespace

bool XDisplayStart(XDisplay *x, const std::string &work) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    // The display number comes back on a descriptor the child inherits: clear its
    // close-on-exec in a copy for the exec only.
    int shared = fcntl(fds[1], F_DUPFD, 10);
    x->pid = SpawnChild(Tied({"Xvfb", "-displayfd", std::to_string(shared), "-screen", "0",
                              "1280x720x24", "-noreset", "-nolisten", "tcp"}),
                        {.out = work + "/xvfb.log", .err = work + "/xvfb.log"});
    close(shared);
    close(fds[1]);
    std::string number;
    WaitUntil(
        [&] {
            char buffer[16];
            ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n > 0) number.append(buffer, (size_t)n);
            return number.find('\n') != std::string::npos || n == 0;
        },
        10000);
    close(fds[0]);
    while (!number.empty() && (number.back() == '\n' || number.back() == ' '))
        number.pop_back();
    if (x->pid < 0 || number.empty()) return false;
    setenv("DISPLAY", (":" + number).c_str(), 1);
    // A picture that is not all black.
    RunCommand("xsetroot -solid '#2f6fb0' 2>/dev/null");
    return true;
}

void XDisplayStop(XDisplay *x) {
    EndChild(x->pid);
    x->pid = -1;
}

namespace {

std::string Pactl(const std::string &arguments) {
    return RunCommand("timeout 10 pactl " + arguments + " 2>/dev/null");
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

} // namespace

bool SoundServerStart(SoundServer *s) {
    // Off the session bus, where another PulseAudio would hold the bus name. The server
    // drops its capabilities, and with them the death signal: it ends instead once no
    // client is left, which the players (tied to this program) see to.
    s->pid = SpawnChild({"env", "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/ostrel-no-bus",
                         "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=10",
                         "--disallow-exit", "--log-target=file:" + s->work + "/pulse.log",
                         "--log-level=error", "-L", "module-native-protocol-unix auth-anonymous=1",
                         "-L", "module-null-sink sink_name=speakers channels=2", "-L",
                         "module-null-sink sink_name=headphones channels=2", "-L",
                         "module-null-source source_name=microphone"},
                        {.out = "/dev/null"});
    if (s->pid < 0 || !WaitUntil([] { return !Pactl("info").empty(); }, 15000)) return false;
    Pactl("set-default-sink speakers");
    Pactl("set-default-source microphone");
    for (const char *sink : {"speakers", "headphones"})
        s->players.push_back(SpawnChild(
            {"pacat", "--playback", "--raw", "--format=s16le", "--rate=44100", "--channels=2",
             std::string("--client-name=") + sink, std::string("--device=") + sink, "/dev/zero"},
            {.out = "/dev/null", .err = "/dev/null"}));
    // Each player on its own sink: what the run must find again at rest. A program that
    // streams sound takes a restarted server over at once and may already hold a player in
    // its private sink; it gives it back at its stop, which the rest check looks at.
    auto placed = [](const std::string &sink, const std::string &own) {
        return sink == own || sink.rfind("ostrel_capture", 0) == 0;
    };
    return WaitUntil(
        [&] {
            auto streams = SoundStreamSinks();
            return placed(streams["speakers"], "speakers") &&
                   placed(streams["headphones"], "headphones");
        },
        15000);
}

void SoundServerKill(SoundServer *s) {
    if (s->pid > 0) EndChild(s->pid, SIGKILL, 5000);
    s->pid = -1;
    for (pid_t player : s->players)
        EndChild(player, SIGTERM, 5000);
    s->players.clear();
}

void SoundServerStop(SoundServer *s) {
    for (pid_t player : s->players)
        EndChild(player, SIGTERM, 5000);
    s->players.clear();
    if (s->pid > 0) EndChild(s->pid, SIGTERM, 5000);
    s->pid = -1;
}

bool SoundServerUp(const SoundServer *s) {
    return s->pid > 0;
}

std::string SoundDefaultSink() {
    return Trimmed(Pactl("get-default-sink"));
}

namespace {

std::map<int, std::string> SinksByIndex() {
    std::map<int, std::string> sinks;
    std::istringstream lines(Pactl("list short sinks"));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        int index;
        std::string name;
        if (fields >> index >> name) sinks[index] = name;
    }
    return sinks;
}

} // namespace

std::vector<std::string> SoundSinks() {
    std::vector<std::string> names;
    for (auto &[index, name] : SinksByIndex())
        names.push_back(name);
    return names;
}

std::map<std::string, std::string> SoundStreamSinks() {
    std::map<int, std::string> sinks = SinksByIndex();
    std::map<std::string, std::string> streams;
    std::istringstream lines(Pactl("list sink-inputs"));
    std::string line;
    int sink = -1;
    while (std::getline(lines, line)) {
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos) continue;
        line = line.substr(start);
        if (line.rfind("Sink Input #", 0) == 0) sink = -1;
        if (line.rfind("Sink: ", 0) == 0) sink = atoi(line.c_str() + 6);
        const std::string key = "application.name = \"";
        if (line.rfind(key, 0) == 0 && line.size() > key.size()) {
            std::string name = line.substr(key.size(), line.size() - key.size() - 1);
            streams[name] = sinks.count(sink) ? sinks[sink] : "#" + std::to_string(sink);
        }
    }
    return streams;
}

bool ReceiverStart(Receiver *r, const std::string &program) {
    int before = ReceiverLogCount(r, "Listening on");
    std::vector<std::string> argv = {program,  "--bind", r->address,      "--control",  r->control,
                                     "--name", r->name,  "--no-announce", "--duration", "86400"};
    if (!r->password.empty()) argv.insert(argv.end(), {"--password", r->password});
    r->pid = SpawnChild(Tied(argv), {.out = r->log, .err = r->log});
    r->stopped = r->busy = r->busyAudio = false;
    return r->pid > 0 &&
           WaitUntil([&] { return ReceiverLogCount(r, "Listening on") > before; }, 15000);
}

bool ReceiverCommand(const Receiver *r, const std::string &command) {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", r->control.c_str());
    bool sent = sendto(fd, command.data(), command.size(), 0, (sockaddr *)&address,
                       sizeof address) == (ssize_t)command.size();
    close(fd);
    return sent;
}

void ReceiverPause(Receiver *r) {
    if (r->pid > 0 && kill(r->pid, SIGSTOP) == 0) r->stopped = true;
}

void ReceiverResume(Receiver *r) {
    if (r->pid > 0) kill(r->pid, SIGCONT);
    r->stopped = false;
}

void ReceiverKill(Receiver *r) {
    if (r->pid > 0) EndChild(r->pid, SIGKILL, 5000);
    r->pid = -1;
    r->stopped = false;
}

void ReceiverStop(Receiver *r) {
    if (r->pid < 0) return;
    if (r->stopped) kill(r->pid, SIGCONT);
    EndChild(r->pid, SIGTERM, 5000);
    r->pid = -1;
}

int ReceiverLogCount(const Receiver *r, const std::string &text) {
    std::string log = ReadFileText(r->log);
    int count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
        count++;
    return count;
}

std::map<std::string, int> ProcessThreads() {
    std::map<std::string, int> threads;
    DIR *dir = opendir("/proc/self/task");
    if (!dir) return threads;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::string comm =
            Trimmed(ReadFileText(std::string("/proc/self/task/") + entry->d_name + "/comm"));
        threads[comm]++;
    }
    closedir(dir);
    return threads;
}

std::map<int, std::string> ProcessDescriptors() {
    std::map<int, std::string> fds;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir) return fds;
    int own = dirfd(dir);
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        int fd = atoi(entry->d_name);
        if (fd == own) continue;
        char target[512];
        ssize_t n = readlink((std::string("/proc/self/fd/") + entry->d_name).c_str(), target,
                             sizeof target - 1);
        fds[fd] = n > 0 ? std::string(target, (size_t)n) : "?";
    }
    closedir(dir);
    return fds;
}

int Total(const std::map<std::string, int> &counts) {
    int total = 0;
    for (auto &[name, count] : counts)
        total += count;
    return total;
}
