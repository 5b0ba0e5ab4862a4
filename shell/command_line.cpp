#include "shell/command_line.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "base/log.h"

namespace {

int ParseDecimal(const char *text) {
    // Leading spaces, an optional sign, digits up to the first non-digit; 0 without digits.
    while (*text == ' ' || *text == '\t') text++;
    int sign = 1;
    if (*text == '+' || *text == '-') {
        if (*text == '-') sign = -1;
        text++;
    }
    long long value = 0;
    while (*text >= '0' && *text <= '9') {
        if (value < 1000000000LL) value = value * 10 + (*text - '0');
        text++;
    }
    if (value > 2147483647LL) value = 2147483647LL;
    return (int)(sign * value);
}

} // namespace

int ParseSoundTo(int argc, char **argv, int i, SoundToOptions *out) {
    if (i + 1 >= argc || !*argv[i + 1]) {
        fprintf(stderr, "ostrel: --sound-to takes a speaker's name as --list-receivers shows it\n");
        return 0;
    }
    out->on = true;
    out->name = argv[i + 1];
    out->seconds = 0;
    if (i + 2 >= argc || argv[i + 2][0] == '-') return 2;
    char *end = nullptr;
    double seconds = strtod(argv[i + 2], &end);
    if (!end || *end || !(seconds >= 0 && seconds <= 86400)) {
        fprintf(stderr, "ostrel: --sound-to takes seconds from 0 to 86400 after the name\n");
        return 0;
    }
    out->seconds = seconds;
    return 3;
}

void ParseCommandLine(const char *text, HostedOptions *options) {
    if (!text || !strstr(text, "connect?") || !strstr(text, "host=") || !strstr(text, "key="))
        return;
    std::string copy(text, strnlen(text, 1023));
    size_t start = copy.find("connect?");
    if (start == std::string::npos) return; // cut away by the length limit
    std::string rest = copy.substr(start + 8);
    size_t pos = 0;
    while (pos <= rest.size()) {
        size_t amp = rest.find('&', pos);
        if (amp == std::string::npos) amp = rest.size();
        std::string piece = rest.substr(pos, amp - pos);
        pos = amp + 1;
        if (piece.empty()) continue;
        size_t at;
        if ((at = piece.find("host=")) != std::string::npos) {
            options->host = piece.substr(at + 5);
            options->hosted = true;
        }
        if ((at = piece.find("key=")) != std::string::npos) {
            options->key = piece.substr(at + 4);
            options->silent = true;
            DebugLog(0, "Running in hosted/silent mode.\n");
        }
        if ((at = piece.find("display=")) != std::string::npos)
            options->display = ParseDecimal(piece.c_str() + at + 8);
        // "hwnd=" is accepted and has no effect.
    }
}

namespace {

// Whether a datagram socket bound to local can be connected to remote: the kernel
// finds a route or refuses the connect.
bool HasRoute(in_addr local, in_addr remote) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr = local;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = remote;
    to.sin_port = htons(7000);
    bool ok = bind(fd, (sockaddr *)&from, sizeof from) == 0 &&
              connect(fd, (sockaddr *)&to, sizeof to) == 0;
    close(fd);
    return ok;
}

void AddUnique(std::vector<in_addr> *list, in_addr a) {
    for (in_addr b : *list)
        if (b.s_addr == a.s_addr) return;
    list->push_back(a);
}

} // namespace

bool CheckRouteToReceiver(const char *addressText) {
    char hostName[80];
    if (gethostname(hostName, sizeof hostName) != 0) {
        DebugLog(2, "Couldn't get hostname.\n");
        return false;
    }
    hostName[sizeof hostName - 1] = '\0';
    // The host name's addresses first, in the order the resolver lists them; then every
    // address of an interface that is up, since a Linux host name often resolves only
    // to a loopback alias.
    std::vector<in_addr> locals;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *found = nullptr;
    if (getaddrinfo(hostName, nullptr, &hints, &found) == 0) {
        for (addrinfo *a = found; a; a = a->ai_next)
            AddUnique(&locals, ((sockaddr_in *)a->ai_addr)->sin_addr);
        freeaddrinfo(found);
    }
    ifaddrs *ifs = nullptr;
    if (getifaddrs(&ifs) == 0) {
        for (ifaddrs *i = ifs; i; i = i->ifa_next)
            if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && (i->ifa_flags & IFF_UP))
                AddUnique(&locals, ((sockaddr_in *)i->ifa_addr)->sin_addr);
        freeifaddrs(ifs);
    }
    if (locals.empty()) {
        DebugLog(2, "Couldn't get the host entity.\n");
        return false;
    }
    in_addr remote{};
    if (!addressText || inet_pton(AF_INET, addressText, &remote) != 1) {
        DebugLog(2, "Couldn't get a route to the selected AirPlay device.\n");
        return false;
    }
    for (in_addr local : locals)
        if (HasRoute(local, remote)) return true;
    DebugLog(2, "Couldn't get a route to the selected AirPlay device.\n");
    return false;
}
