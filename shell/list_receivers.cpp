#include "shell/list_receivers.h"

#include <cerrno>
#include <cstdio>
#include <poll.h>

#include "base/clock.h"
#include "discovery/discovery.h"
#include "plist/cfvalue.h"

int ListReceivers(double seconds) {
    // Runs on this thread alone: it is the owner of the lists for the whole run.
    DiscoveryStart();
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
        printf("%s\t%s\t%s\t%d\t%u\n", name, address ? CFStringText(address) : "", deviceId,
               password ? 1 : 0, (unsigned)port);
        fflush(stdout);
        CFValueRelease(address);
    }
    CFValueRelease(names);
    DiscoveryShutdown();
    return 0;
}
