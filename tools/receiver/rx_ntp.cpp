#include "tools/receiver/rx_ntp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/receiver/rx_log.h"

static void PutBe64(uint8_t *p, uint64_t v) {
    for (int i = 7; i >= 0; i--, v >>= 8)
        p[i] = (uint8_t)v;
}

static uint64_t GetBe64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++)
        v = v << 8 | p[i];
    return v;
}

bool NtpClientOpen(NtpClient *client, const char *bindAddress) {
    *client = NtpClient();
    client->fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (client->fd < 0) {
        RxLog("Timing: cannot create a UDP socket: %s", strerror(errno));
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (inet_pton(AF_INET, bindAddress, &local.sin_addr) != 1 ||
        bind(client->fd, (sockaddr *)&local, sizeof local) != 0) {
        RxLog("Timing: cannot bind a UDP socket to %s: %s", bindAddress, strerror(errno));
        close(client->fd);
        client->fd = -1;
        return false;
    }
    return true;
}

void NtpClientClose(NtpClient *client) {
    if (client->fd >= 0) close(client->fd);
    client->fd = -1;
    client->active = false;
}

void NtpClientSetTarget(NtpClient *client, in_addr address, uint16_t port) {
    client->target = sockaddr_in{};
    client->target.sin_family = AF_INET;
    client->target.sin_addr = address;
    client->target.sin_port = htons(port);
    client->active = true;
    client->nextSend = 0;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address, text, sizeof text);
    RxLog("Timing: sending requests to %s:%u once a second", text, port);
}

void NtpClientStop(NtpClient *client) {
    if (client->active) RxLog("Timing: requests stopped");
    client->active = false;
}

void NtpClientTick(NtpClient *client, double now) {
    if (!client->active || client->fd < 0 || now < client->nextSend) return;
    client->nextSend = now + 1.0;
    uint8_t request[48] = {};
    request[0] = 0x23; // leap 0, version 4, mode 3 (client)
    uint64_t transmit = StreamClockNowFixed();
    PutBe64(request + 40, transmit);
    client->sent[client->sentNext] = transmit;
    client->sentMonotonic[client->sentNext] = now;
    client->sentNext = (client->sentNext + 1) % 8;
    client->requests++;
    if (sendto(client->fd, request, sizeof request, 0, (sockaddr *)&client->target,
               sizeof client->target) != (ssize_t)sizeof request) {
        client->sendFailures++;
        RxLog("Timing: sending a request failed: %s", strerror(errno));
    }
}

double NtpClientTimeout(const NtpClient *client, double now) {
    if (!client->active) return 3600;
    return client->nextSend > now ? client->nextSend - now : 0;
}

NtpReplyResult NtpEvaluateReply(const uint8_t *reply, size_t length, const uint64_t *sent,
                                int sentCount, uint64_t arrival, double *roundTrip,
                                double *offset) {
    if (length != 48) return kNtpReplyBadSize;
    if ((reply[0] & 7) != 4) return kNtpReplyBadMode;
    uint64_t originate = GetBe64(reply + 24);
    bool matched = false;
    for (int i = 0; i < sentCount; i++)
        matched = matched || (sent[i] && sent[i] == originate);
    if (!matched) return kNtpReplyUnmatched;
    double t1 = StreamFixedToSeconds(originate);
    double t2 = StreamFixedToSeconds(GetBe64(reply + 32));
    double t3 = StreamFixedToSeconds(GetBe64(reply + 40));
    double t4 = StreamFixedToSeconds(arrival);
    *roundTrip = (t4 - t1) - (t3 - t2);
    *offset = ((t2 - t1) + (t3 - t4)) / 2;
    return kNtpReplyOk;
}

void NtpClientReadable(NtpClient *client) {
    for (int budget = 0; budget < 64; budget++) {
        uint8_t reply[512];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = recvfrom(client->fd, reply, sizeof reply, 0, (sockaddr *)&from, &fromLength);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                RxLog("Timing: receive failed: %s", strerror(errno));
            return;
        }
        uint64_t arrival = StreamClockNowFixed();
        double roundTrip = 0, offset = 0;
        NtpReplyResult result =
            NtpEvaluateReply(reply, (size_t)n, client->sent, 8, arrival, &roundTrip, &offset);
        if (result != kNtpReplyOk) {
            client->badReplies++;
            static const char *why[] = {"", "length is not 48", "mode is not 4 (server)",
                                        "originate time matches no request sent"};
            RxLog("Timing: bad reply of %zd bytes: %s", n, why[result]);
            continue;
        }
        client->replies++;
        client->lastStratum = reply[1];
        client->lastRefid.clear();
        for (int i = 12; i < 16; i++)
            client->lastRefid += (reply[i] >= 32 && reply[i] < 127) ? (char)reply[i] : '?';
        if (client->roundTrips.size() < 100000) {
            client->roundTrips.push_back(roundTrip);
            client->offsets.push_back(offset);
        }
        RxLog("Timing: reply, round trip %.3f ms, offset %.3f ms, stratum %d, reference \"%s\"",
              roundTrip * 1e3, offset * 1e3, reply[1], client->lastRefid.c_str());
    }
}
