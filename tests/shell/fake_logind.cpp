// A stand-in for logind on a private bus, for end-to-end tests of how the program meets
// the system's shutdown and sleep. It owns org.freedesktop.login1, hands out inhibitor
// locks (the read end of a pipe stays here: its end of file is the release), and emits
// PrepareForShutdown/PrepareForSleep on command.
//
// Usage: ostrel-test-logind [SECONDS]  (bus from DBUS_SYSTEM_BUS_ADDRESS)
// stdin, one per line: shutdown | cancel | sleep | wake. stdout: "ready",
// "inhibit WHAT WHO MODE", "released WHAT HH:MM:SS.mmm" (UTC, as the receiver
// logs), "emitted NAME VALUE". Ends at stdin's end or
// after SECONDS (default 300).
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <systemd/sd-bus.h>
#include <unistd.h>
#include <vector>

namespace {

const char kPath[] = "/org/freedesktop/login1";
const char kManager[] = "org.freedesktop.login1.Manager";

struct Lock {
    int fd;
    std::string what;
};
std::vector<Lock> locks;

int OnInhibit(sd_bus_message *m, void *, sd_bus_error *) {
    const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
    int r = sd_bus_message_read(m, "ssss", &what, &who, &why, &mode);
    if (r < 0) return r;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -errno;
    r = sd_bus_reply_method_return(m, "h", fds[1]); // the reply carries its own copy
    close(fds[1]);
    if (r < 0) {
        close(fds[0]);
        return r;
    }
    locks.push_back({fds[0], what});
    printf("inhibit %s %s %s\n", what, who, mode);
    return r;
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Inhibit", "ssss", "h", OnInhibit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("PrepareForShutdown", "b", 0),
    SD_BUS_SIGNAL("PrepareForSleep", "b", 0),
    SD_BUS_VTABLE_END,
};

bool Emit(sd_bus *bus, const char *name, int value) {
    if (sd_bus_emit_signal(bus, kPath, kManager, name, "b", value) < 0) return false;
    sd_bus_flush(bus);
    printf("emitted %s %d\n", name, value);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const int seconds = argc > 1 ? atoi(argv[1]) : 300;
    sd_bus *bus = nullptr;
    sd_bus_slot *slot = nullptr;
    if (sd_bus_open_system(&bus) < 0 ||
        sd_bus_add_object_vtable(bus, &slot, kPath, kManager, kVtable, nullptr) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.login1", 0) < 0) {
        fprintf(stderr, "ostrel-test-logind: cannot serve on the bus\n");
        return 1;
    }
    printf("ready\n");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::string line;
    bool input = true;
    while (input && std::chrono::steady_clock::now() < deadline) {
        while (sd_bus_process(bus, nullptr) > 0) {
        }
        std::vector<pollfd> fds{{sd_bus_get_fd(bus), (short)sd_bus_get_events(bus), 0},
                                {0, POLLIN, 0}};
        for (const Lock &lock : locks)
            fds.push_back({lock.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR) break;
        for (size_t i = 2; i < fds.size(); i++) {
            if (!fds[i].revents) continue;
            char byte;
            if (read(fds[i].fd, &byte, 1) > 0) continue;
            Lock &lock = locks[i - 2];
            timespec now;
            clock_gettime(CLOCK_REALTIME, &now);
            tm parts;
            gmtime_r(&now.tv_sec, &parts);
            printf("released %s %02d:%02d:%02d.%03ld\n", lock.what.c_str(), parts.tm_hour,
                   parts.tm_min, parts.tm_sec, now.tv_nsec / 1000000);
            close(lock.fd);
            lock.fd = -1;
        }
        std::erase_if(locks, [](const Lock &lock) { return lock.fd < 0; });
        if (!(fds[1].revents & (POLLIN | POLLHUP))) continue;
        char buffer[256];
        ssize_t n = read(0, buffer, sizeof buffer);
        if (n <= 0) {
            input = false;
            continue;
        }
        line.append(buffer, n);
        for (size_t end; (end = line.find('\n')) != std::string::npos; line.erase(0, end + 1)) {
            const std::string command = line.substr(0, end);
            bool ok = command == "shutdown" ? Emit(bus, "PrepareForShutdown", 1)
                      : command == "cancel" ? Emit(bus, "PrepareForShutdown", 0)
                      : command == "sleep"  ? Emit(bus, "PrepareForSleep", 1)
                      : command == "wake"   ? Emit(bus, "PrepareForSleep", 0)
                                            : false;
            if (!ok) fprintf(stderr, "ostrel-test-logind: could not do \"%s\"\n", command.c_str());
        }
    }
    for (const Lock &lock : locks)
        close(lock.fd);
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
    return 0;
}
