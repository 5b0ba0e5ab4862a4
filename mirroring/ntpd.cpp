#include "mirroring/ntpd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/clock.h"
#include "base/event.h"
#include "base/log.h"
#include "base/thread.h"

NtpdServer *NtpdVideo() {
    static NtpdServer video{.name = "Video", .socketLock = {}, .controlLock = {}};
    return &video;
}

NtpdServer *NtpdAudio() {
    static NtpdServer audio{.name = "Audio", .socketLock = {}, .controlLock = {}};
    return &audio;
}

bool NtpdIsRunning(const NtpdServer *server) { return server->running.load() == 1; }

size_t NtpBuildReply(const uint8_t *request, size_t length, StreamClock receive,
                     StreamClock transmit, uint8_t *out) {
    if (length == 32) {
        out[0] = 0x80;
        out[1] = 0xD3;
        memcpy(out + 2, request + 2, 6);
        memcpy(out + 8, request + 24, 8); // the requester's send time
        StreamClockWriteBE(receive, out + 16);
        // Every timestamp this program sends is on the stream clock, this one included.
        StreamClockWriteBE(transmit, out + 24);
        return 32;
    }
    if (length == 48) {
        // Leap 0, version 4, mode 4 (server); stratum 1; poll 2; precision -24.
        out[0] = 0x24;
        out[1] = 0x01;
        out[2] = 0x02;
        out[3] = 0xE8;
        memcpy(out + 4, request + 4, 8);
        memcpy(out + 12, "OSTR", 4);
        memcpy(out + 16, request + 16, 8);
        // Originate = the requester's transmit field, echoed as it came: some clients
        // put a random value there and match on it.
        memcpy(out + 24, request + 40, 8);
        StreamClockWriteBE(receive, out + 32);
        StreamClockWriteBE(transmit, out + 40);
        return 48;
    }
    return 0;
}

static void CloseServerSocket(NtpdServer *server) {
    std::lock_guard<std::mutex> guard(server->socketLock);
    if (server->socket >= 0) {
        close(server->socket);
        server->socket = -1;
    }
}

static void ServerThread(void *arg) {
    NtpdServer *server = (NtpdServer *)arg;

    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        DebugLog(2, "NTPd %s: could not create a UDP socket: %s\n", server->name, strerror(errno));
        server->running = 0;
        EventSet(server->stoppedEvent);
        return;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(server->port);
    if (bind(fd, (sockaddr *)&local, sizeof local) != 0) {
        DebugLog(2, "NTPd %s: could not bind UDP port %u: %s\n", server->name,
                 (unsigned)server->port, strerror(errno));
        close(fd);
        server->running = 0;
        EventSet(server->stoppedEvent); // wakes the starter at once
        return;
    }
    {
        std::lock_guard<std::mutex> guard(server->socketLock);
        server->socket = fd;
    }
    // A stop that came before the socket was published could not shut it down.
    if (server->running.load() != 1) shutdown(fd, SHUT_RDWR);
    EventSet(server->startedEvent);

    int64_t lastSendFailureLog = MonotonicNanos() - 2000000000LL;
    while (server->running.load() == 1) {
        uint8_t request[48];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        // MSG_TRUNC reports the datagram's real length, so that a longer datagram is not
        // mistaken for a 48-byte request.
        ssize_t n = recvfrom(fd, request, sizeof request, MSG_TRUNC, (sockaddr *)&from,
                             &fromLength);
        if (server->running.load() != 1) break; // woken by the stop's shutdown
        if (n < 0) {
            if (errno == EINTR) continue;
            DebugLog(2, "NTP server failed in recvfrom\n");
            break;
        }
        StreamClock receive = StreamClockNow();
        uint8_t reply[48];
        size_t replyLength = 0;
        if (n == 32 || n == 48) {
            replyLength = NtpBuildReply(request, (size_t)n, receive, StreamClockNow(), reply);
        }
        if (replyLength == 0) continue; // other sizes get no answer
        ssize_t sent = sendto(fd, reply, replyLength, MSG_NOSIGNAL, (sockaddr *)&from, fromLength);
        if (sent < 0) {
            if (server->running.load() != 1) break;
            // A failed reply concerns that one requester (a datagram from port 0, say, cannot
            // be answered); giving up would let one such datagram end timing for everyone.
            int64_t now = MonotonicNanos();
            if (now - lastSendFailureLog >= 1000000000LL) {
                DebugLog(2, "NTP server failed in sendto\n");
                lastSendFailureLog = now;
            }
        }
    }
    server->running = 0;
    CloseServerSocket(server);
    SleepMillis(500);
    DebugLog(1, "NTPd: Slept for %ims to make sure we're waiting for the serverDidStopEvent\n",
             500);
    EventSet(server->stoppedEvent);
}

// Asks the thread to end and joins it. Caller holds controlLock.
static void EndThread(NtpdServer *server) {
    if (!server->threadStarted) return;
    server->running = 0;
    {
        // Wakes the thread blocked in recvfrom; closing alone would not.
        std::lock_guard<std::mutex> guard(server->socketLock);
        if (server->socket >= 0) shutdown(server->socket, SHUT_RDWR);
    }
    ThreadJoin(&server->thread);
    server->threadStarted = false;
    CloseServerSocket(server);
}

int NtpdStart(NtpdServer *server, uint16_t port, int packetSize) {
    std::lock_guard<std::mutex> control(server->controlLock);
    if (server->running.load() == 1) return 1;
    // A thread that ended by itself (failed receive or send) is still to be joined.
    EndThread(server);
    if (!server->startedEvent) server->startedEvent = EventCreate(true, false);
    if (!server->stoppedEvent) server->stoppedEvent = EventCreate(true, false);
    if (!server->startedEvent || !server->stoppedEvent) {
        DebugLog(2, "NTP thread could not be created\n");
        return 0;
    }
    EventReset(server->startedEvent);
    EventReset(server->stoppedEvent);
    server->port = port;
    server->packetSize = packetSize;
    server->running = 1;
    char threadName[16];
    snprintf(threadName, sizeof threadName, "NTPd %s", server->name);
    if (!ThreadStart(&server->thread, threadName, ServerThread, server)) {
        server->running = 0;
        DebugLog(2, "NTP thread could not be created\n");
        return 0;
    }
    server->threadStarted = true;
    if (server == NtpdAudio()) {
        DebugLog(1, "NTPd Audio: Started service, opened socket on port: %i with packetSize: %i\n",
                 (int)port, packetSize);
    } else {
        DebugLog(1, "NTPd %s: Started service, opened socket\n", server->name);
    }
    // Bounded: a server that cannot bind sets stoppedEvent instead of startedEvent.
    Event *events[2] = {server->startedEvent, server->stoppedEvent};
    int which = EventWaitAny(events, 2, kNtpdStartWaitMs);
    if (which == 0) return 1;
    DebugLog(2, "NTPd %s: gave up starting the service on UDP port %u\n", server->name,
             (unsigned)port);
    EndThread(server);
    return 0;
}

int NtpdStartVideo() { return NtpdStart(NtpdVideo(), kNtpdVideoPort, 48); }

int NtpdStartAudio(uint16_t port) { return NtpdStart(NtpdAudio(), port, 32); }

void NtpdStop(NtpdServer *server) {
    std::lock_guard<std::mutex> control(server->controlLock);
    if (!server->threadStarted) return;
    bool wasRunning = server->running.load() == 1;
    EndThread(server);
    if (wasRunning) DebugLog(1, "NTPd %s: Stopped service, closed socket\n", server->name);
}
