// The receiver's side of the timing exchange: once a second it sends a 48-byte
// NTP client request to the sender's timing port and records the answers.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <vector>

struct NtpClient {
    int fd;      // UDP socket, -1 when closed
    bool active; // a target is set
    sockaddr_in target;
    double nextSend;  // monotonic seconds
    uint64_t sent[8]; // transmit stamps of recent requests, to match replies
    double sentMonotonic[8];
    int sentNext;
    // Results.
    uint64_t requests;
    uint64_t replies;
    uint64_t badReplies; // wrong size, mode, or an originate we never sent
    uint64_t sendFailures;
    std::vector<double> roundTrips; // seconds
    std::vector<double> offsets;    // seconds; sender clock minus ours
    int lastStratum;
    std::string lastRefid;
};

// Opens the socket bound to bindAddress, any port. False with a log line on failure.
[[nodiscard]] bool NtpClientOpen(NtpClient *client, const char *bindAddress);
void NtpClientClose(NtpClient *client);
// Starts (or moves) the requests to address:port; the first goes out at the next tick.
void NtpClientSetTarget(NtpClient *client, in_addr address, uint16_t port);
void NtpClientStop(NtpClient *client);
// Sends a request when one is due. now is monotonic seconds.
void NtpClientTick(NtpClient *client, double now);
// Seconds until the next request is due (large when inactive).
double NtpClientTimeout(const NtpClient *client, double now);
// Reads every waiting datagram.
void NtpClientReadable(NtpClient *client);

// Checks one reply against the transmit stamps sent; on success gives the round
// trip and the offset (seconds). Exposed for tests.
enum NtpReplyResult { kNtpReplyOk, kNtpReplyBadSize, kNtpReplyBadMode, kNtpReplyUnmatched };
NtpReplyResult NtpEvaluateReply(const uint8_t *reply, size_t length, const uint64_t *sent,
                                int sentCount, uint64_t arrival, double *roundTrip, double *offset);
