#include "shell/list_receivers.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>

#include "base/clock.h"
#include "discovery/discovery.h"
#include "plist/cfvalue.h"

// A field as printed: a name may hold any byte, and a raw tab or line end in it would forge
// fields or lines for whoever reads the list. Backslash, tab, line feed and carriage return
// become \\ \t \n \r; other control bytes \xHH; everything else (UTF-8 too) stays.
std::string EscapeListField(const char *text) {
    std::string out;
    for (const char *p = text ? text : ""; *p; p++) {
        unsigned char b = (unsigned char)*p;
        switch (b) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (b < 0x20 || b == 0x7f) {
                char hex[8];
                snprintf(hex, sizeof hex, "\\x%02x", b);
                out += hex;
            } else {
                out += (char)b;
            }
        }
    }
    return out;
}

int32_t FindSpeaker(const CFValue *speakers, const char *name) {
    for (uint32_t i = 0; name && i < CFArrayCount(speakers); i++) {
        const char *shown = RaopShownName(CFStringText(CFArrayGet(speakers, i)));
        if (!strcmp(shown, name) || EscapeListField(shown) == name) return (int32_t)i;
    }
    return -1;
}

int ListReceivers(double seconds) {
    // Runs on this thread alone: it is the owner of the lists for the whole run.
    DiscoveryStart();
    DiscoveryProcessEvents();
    // The start hands its browses over at once when it has any.
    if (DiscoveryGeneration() == 0) {
        fprintf(stderr, "ostrel: no receivers could be looked for: neither avahi-daemon nor "
                        "the program's own mDNS responder could browse the network\n");
        DiscoveryShutdown();
        return 1;
    }
    int fd = DiscoveryNotifyFd();
    int64_t end = MonotonicNanos() + (int64_t)(seconds * 1e9);
    for (;;) {
        int64_t left = end - MonotonicNanos();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        int result = poll(&p, fd >= 0 ? 1 : 0, (int)(left / 1000000) + 1);
        if (result < 0 && errno != EINTR) break;
        DiscoveryProcessEvents();
    }
    DiscoveryProcessEvents();
    // The list may change while receivers are resolved; work on the names seen now.
    CFValue *names = CFValueCopy(ServiceList);
    uint32_t count = CFArrayCount(names);
    for (uint32_t i = 0; i < count; i++) {
        const char *name = CFStringText(CFArrayGet(names, i));
        char deviceId[64];
        uint8_t password = 0;
        CFValue *address = ResolveAirPlayService(name, deviceId, &password);
        uint16_t port = AudioServicePort(deviceId);
        printf("%s\t%s\t%s\t%d\t%u\tscreen\n", EscapeListField(name).c_str(),
               address ? CFStringText(address) : "", EscapeListField(deviceId).c_str(),
               password ? 1 : 0, (unsigned)port);
        fflush(stdout);
        CFValueRelease(address);
    }
    CFValueRelease(names);
    // Then the speakers, under the name they show, with the port of their sound service.
    CFValue *speakers = CFValueCopy(SpeakerList);
    count = CFArrayCount(speakers);
    for (uint32_t i = 0; i < count; i++) {
        const char *name = CFStringText(CFArrayGet(speakers, i));
        char deviceId[64] = "";
        uint8_t password = 0;
        uint16_t port = 0;
        CFValue *address = ResolveSpeaker(name, deviceId, &password, &port, nullptr);
        if (!address) port = AudioServicePort(deviceId);
        printf("%s\t%s\t%s\t%d\t%u\tsound\n", EscapeListField(RaopShownName(name)).c_str(),
               address ? CFStringText(address) : "", EscapeListField(deviceId).c_str(),
               password ? 1 : 0, (unsigned)port);
        fflush(stdout);
        CFValueRelease(address);
    }
    CFValueRelease(speakers);
    DiscoveryShutdown();
    return 0;
}
