#include "net/network_monitor.h"

#include <atomic>
#include <cerrno>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/event.h"
#include "base/log.h"
#include "base/thread.h"

int NetworkMonitorDelayMs = 3000;
int NetworkMonitorHoldOffMs = 30000;

namespace {

struct Monitor {
    pthread_t thread;
    bool threadStarted;
    std::atomic<bool> ended; // set by the thread as it returns
    Event *stopEvent;        // auto-reset; set only by NetworkMonitorStop
    NetworkRestartFn restart;
    void *context;
};

Monitor monitor;

// A route socket subscribed to IPv4 address changes; -1 on failure.
int OpenAddressSocket() {
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) return -1;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_IPV4_IFADDR;
    if (bind(fd, (sockaddr *)&address, sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads what is queued; returns 1 when an address was added or removed.
int DrainChanges(int fd) {
    alignas(nlmsghdr) char buffer[8192];
    int changed = 0;
    for (;;) {
        ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) continue;
        // ENOBUFS: the kernel dropped messages, which still means something changed.
        if (got < 0 && errno == ENOBUFS) {
            changed = 1;
            continue;
        }
        if (got <= 0) return changed;
        size_t offset = 0;
        while (offset + sizeof(nlmsghdr) <= (size_t)got) {
            const nlmsghdr *header = (const nlmsghdr *)(buffer + offset);
            if (header->nlmsg_len < sizeof(nlmsghdr) || header->nlmsg_len > (size_t)got - offset)
                break;
            if (header->nlmsg_type == RTM_NEWADDR || header->nlmsg_type == RTM_DELADDR) changed = 1;
            offset += NLMSG_ALIGN(header->nlmsg_len);
        }
    }
}

void *MonitorThread(void *) {
    SetThreadName("NetworkMonitor");
    int fd = OpenAddressSocket();
    if (fd < 0) {
        DebugLog(2, "Unable to initialize network address change monitor\n");
        monitor.ended = true;
        return nullptr;
    }
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {EventFd(monitor.stopEvent), POLLIN, 0}};
        int result = poll(fds, 2, -1);
        if (result < 0 && errno == EINTR) continue;
        if (result <= 0 || (fds[1].revents & POLLIN) || !(fds[0].revents & POLLIN)) {
            DebugLog(2, "Unable to capture IP address change though notification events fired\n");
            break;
        }
        // Link and other notices on the socket do not count as address changes.
        if (!DrainChanges(fd)) continue;
        DebugLog(2, "IP address change. Re-enumerate AirPlay hosts list\n");
        // Both waits end at once on stop so that program exit never waits for them.
        if (EventWait(monitor.stopEvent, NetworkMonitorDelayMs)) break;
        if (monitor.restart) monitor.restart(monitor.context);
        if (EventWait(monitor.stopEvent, NetworkMonitorHoldOffMs)) break;
        // Only changes after this point are reported, as with a fresh request.
        (void)DrainChanges(fd);
    }
    close(fd);
    monitor.ended = true;
    return nullptr;
}

} // namespace

static void JoinMonitor() {
    pthread_join(monitor.thread, nullptr);
    monitor.threadStarted = false;
    EventClose(monitor.stopEvent);
    monitor.stopEvent = nullptr;
}

void NetworkMonitorStart(NetworkRestartFn restart, void *context) {
    DebugLog(2, "Create and start network address change monitor\n");
    // A monitor that ended on its own (no notifications available) may be started again.
    if (monitor.threadStarted && monitor.ended) JoinMonitor();
    if (monitor.threadStarted) return;
    monitor.ended = false;
    monitor.stopEvent = EventCreate(false, false);
    if (!monitor.stopEvent) return;
    monitor.restart = restart;
    monitor.context = context;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    monitor.threadStarted =
        pthread_create(&monitor.thread, &attributes, MonitorThread, nullptr) == 0;
    pthread_attr_destroy(&attributes);
    if (!monitor.threadStarted) {
        EventClose(monitor.stopEvent);
        monitor.stopEvent = nullptr;
    }
}

void NetworkMonitorStop() {
    DebugLog(2, "Stop and destroy network address change monitor\n");
    if (!monitor.threadStarted || !monitor.stopEvent) return;
    EventSet(monitor.stopEvent);
    JoinMonitor();
}
