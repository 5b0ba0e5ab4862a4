#include "net/network_monitor.h"

#include <atomic>
#include <cerrno>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/event.h"
#include "base/log.h"
#include "base/thread.h"

int NetworkMonitorDelayMs = 3000;
int NetworkMonitorHoldOffMs = 30000;

namespace {

struct Monitor {
    Thread thread;
    std::atomic<bool> ended; // set by the thread as it returns
    Event *stopEvent;        // auto-reset; set only by NetworkMonitorStop
    int fd;                  // the subscribed route socket, owned by the thread once started
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

void MonitorThread(void *) {
    int fd = monitor.fd;
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
}

} // namespace

static void JoinMonitor() {
    ThreadJoin(&monitor.thread);
    EventClose(monitor.stopEvent);
    monitor.stopEvent = nullptr;
}

int NetworkMonitorStart(NetworkRestartFn restart, void *context) {
    DebugLog(2, "Create and start network address change monitor\n");
    // A monitor that ended on its own may be started again.
    if (ThreadIsStarted(&monitor.thread) && monitor.ended) JoinMonitor();
    if (ThreadIsStarted(&monitor.thread)) return 1;
    // Subscribed before the start returns, so that no change after it can be missed.
    int fd = OpenAddressSocket();
    if (fd < 0) {
        DebugLog(2, "Unable to initialize network address change monitor\n");
        return 0;
    }
    monitor.ended = false;
    monitor.stopEvent = EventCreate(false, false);
    if (!monitor.stopEvent) {
        close(fd);
        return 0;
    }
    monitor.fd = fd;
    monitor.restart = restart;
    monitor.context = context;
    if (!ThreadStart(&monitor.thread, "NetworkMonitor", MonitorThread, nullptr)) {
        DebugLog(2, "Unable to initialize network address change monitor\n");
        close(fd);
        EventClose(monitor.stopEvent);
        monitor.stopEvent = nullptr;
        return 0;
    }
    return 1;
}

void NetworkMonitorStop() {
    DebugLog(2, "Stop and destroy network address change monitor\n");
    if (!ThreadIsStarted(&monitor.thread) || !monitor.stopEvent) return;
    EventSet(monitor.stopEvent);
    JoinMonitor();
}
