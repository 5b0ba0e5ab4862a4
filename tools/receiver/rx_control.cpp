#include "tools/receiver/rx_control.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tools/receiver/rx_log.h"

bool RxControlOpen(RxControl *control, const std::string &path) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        RxLog("Control socket path \"%s\" is empty or too long", path.c_str());
        return false;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        RxLog("Control socket: %s", strerror(errno));
        return false;
    }
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.c_str(), path.size());
    unlink(path.c_str());
    if (bind(fd, (sockaddr *)&address, sizeof address) != 0) {
        RxLog("Control socket %s: %s", path.c_str(), strerror(errno));
        close(fd);
        return false;
    }
    control->fd = fd;
    control->path = path;
    RxLog("Control socket at %s", path.c_str());
    return true;
}

namespace {

int Apply(RxControl *control, const std::string &line) {
    auto switched = [&](const char *what, bool on) {
        RxLog("Control: %s %s", what, on ? "on" : "off");
    };
    if (line == "close") {
        RxLog("Control: closing every connection");
        return kRxDropMirroring | kRxDropAudio;
    }
    if (line == "close-audio") {
        RxLog("Control: closing the audio connections");
        return kRxDropAudio;
    }
    if (line == "busy on" || line == "busy off") {
        control->busy = line == "busy on";
        switched("busy", control->busy);
        return kRxDropNone;
    }
    if (line.rfind("busy-audio ", 0) == 0) {
        std::string step = line.substr(11);
        if (step == "off" || step == "OPTIONS" || step == "ANNOUNCE" || step == "SETUP" ||
            step == "RECORD") {
            control->busyAudio = step == "off" ? "" : step;
            RxLog("Control: busy at audio step %s", step.c_str());
            return kRxDropNone;
        }
    }
    RxLog("Control: unknown command \"%.60s\" ignored", line.c_str());
    return kRxDropNone;
}

} // namespace

int RxControlRead(RxControl *control) {
    int drop = kRxDropNone;
    for (int budget = 0; budget < 16; budget++) {
        char buffer[256];
        ssize_t n = recv(control->fd, buffer, sizeof buffer, 0);
        if (n < 0) break;
        std::string line(buffer, (size_t)n);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        drop |= Apply(control, line);
    }
    return drop;
}

void RxControlClose(RxControl *control) {
    if (control->fd < 0) return;
    close(control->fd);
    unlink(control->path.c_str());
    control->fd = -1;
}
