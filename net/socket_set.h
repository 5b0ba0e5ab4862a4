// SocketSet: up to 32 keyed sockets served by up to three lazily started worker threads
// (connect, receive, send). The owner creates the set, fills in the callbacks and user before
// the first open, opens slots, sends, then calls SocketSetClose(set, 0) and SocketSetFree(set)
// from its own thread. A failing worker closes the whole set and reports the reason through
// onClosed. Callbacks run on the worker threads; a callback may call SocketSetClose on its own
// set (the closing worker does not wait for itself), but never SocketSetFree.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <netinet/in.h>

#include "base/thread.h"
#include "net/http_message.h"

struct Event;
struct SocketSet;

enum SocketKind : int32_t {
    TcpConnect = 2,
    UdpBound = 3,
    UdpConnected = 4,
};

// Reasons a worker gives when it closes the set. 0 means closed by the owner (never reported).
enum SocketCloseReason : int32_t {
    CloseSelectFailed = 0x3001,  // the send or receive thread's wait failed
    ClosePeerClosed = 0x3003,    // a read returned 0
    CloseReceiveFailed = 0x3004, // a read returned an error
    CloseConnectFailed = 0x3005, // an outgoing TCP connect failed
    CloseSendFailed = 0x3006,    // send or sendto failed in the send thread
    CloseTimedOut = 0x3007,      // the system ended a TCP connection whose peer went silent
                                 // (ETIMEDOUT, or the host or network found unreachable)
};

constexpr int kSocketSetSlots = 32;
constexpr int kSocketSetMaxDescriptors = 64;
constexpr uint64_t kSendBufferInitial = 32768;
constexpr uint64_t kSendBufferGrowth = 32768;
constexpr uint64_t kSendBufferHardMax = 20971520;
constexpr size_t kSocketReadSize = 32768;
constexpr size_t kSocketSendChunk = 32768;

// Callbacks: the set first, the owner's user pointer last. Any may be null.
typedef void (*SocketClosedFn)(SocketSet *set, int reason, void *user);
typedef void (*SocketConnectedFn)(SocketSet *set, int key, void *user);
typedef void (*SocketReceivedFn)(SocketSet *set, int key, const uint8_t *data, size_t length,
                                 void *user);
typedef void (*SocketSentFn)(SocketSet *set, int key, uint32_t lastChunk, uint64_t lastChunk64,
                             void *user);
typedef void (*HttpRawDataFn)(SocketSet *set, int key, const uint8_t *data, size_t length,
                              void *user);
typedef void (*HttpMessageFn)(SocketSet *set, int key, const HttpMessage *message, void *user);
// buffer is the set's 64-byte password buffer (or null with size 0 after refusing a peer).
typedef void (*HttpPasswordNeededFn)(SocketSet *set, int key, char *buffer, int size, int retried,
                                     void *user);

// Descriptors watched by one worker: at most 64.
struct DescriptorSet {
    int count;
    int fds[kSocketSetMaxDescriptors];
};

struct HttpReceiveBuffer; // accumulation buffer of the parser, internal to net/

struct SocketSlot {
    int socket;                 // -1 = none
    int32_t key;                // owner's identifier, unique within the set
    int32_t kind;               // SocketKind
    sockaddr_in localAddress;   // 0.0.0.0 and the local port (network order)
    sockaddr_in remoteAddress;  // the peer (network order); 0.0.0.0 without a host
    uint16_t localPort;         // host order; the bound port when opened with 0
    uint16_t remotePort;        // host order
    std::atomic<int32_t> ready; // 1 once connected (TcpConnect, UdpConnected) or bound
    std::atomic<int32_t> inUse; // 1 once taken; never cleared
    uint8_t *sendBuffer;        // ring of queued bytes; under sendSetLock and SendBufferMutex
    uint64_t queued;            // bytes waiting; under sendSetLock
    uint64_t writePos;          // next write offset; under sendSetLock
    uint64_t capacity;          // ring size; changed under both locks
    int32_t parseHttp;          // 1 = received bytes go through HttpDispatch's parser
    int32_t authRequested;      // Digest client state: this to lastRequest under digestLock
    int32_t retriedWithPassword;
    int32_t peerAuthenticated;
    HttpReceiveBuffer *receiveBuffer; // owned; only with parseHttp
    char nonce[64];
    char realm[64];
    char password[64];
    HttpMessage *lastRequest; // owned copy of the last request sent on this slot
};

struct SocketSet {
    Thread connectThread{};
    Event *connectEvent; // auto-reset
    int receivePipe[2];  // wake-up pair of the receive thread: read end, write end; -1 = none
    Thread receiveThread{};
    Event *receiveEvent;      // auto-reset
    DescriptorSet receiveSet; // under registrationLock; copied by the receive thread
    int32_t receiveLow, receiveHigh;
    Thread sendThread{};
    Event *sendEvent;       // auto-reset
    std::mutex sendSetLock; // sendSet, sendLow/High, every slot's queued and writePos
    DescriptorSet sendSet;
    int32_t sendLow, sendHigh;
    std::mutex *sendBufferLock;   // the process-wide SendBufferMutex (not owned)
    std::mutex registrationLock;  // adding sockets to receiveSet; starting the receive thread
    std::atomic<int32_t> running; // 1 from creation until SocketSetClose
    std::atomic<int32_t> sendInProgress; // SocketSetSend calls currently inside the set
    std::atomic<int32_t> highestSlot;    // highest slot index ever opened (-1: none)
    SocketSlot slots[kSocketSetSlots];
    SocketClosedFn onClosed;
    SocketConnectedFn onConnected;
    SocketReceivedFn onReceived;
    SocketSentFn onSent;
    void *user;
    HttpRawDataFn onRawData;
    HttpMessageFn onRequest;
    HttpMessageFn onResponse;
    HttpPasswordNeededFn onPasswordNeeded;
    std::atomic<int32_t> closeReason; // reason given to the first SocketSetClose
    char password[64];                // NUL-terminated, at most 63 characters
    std::mutex openLock;              // owner threads taking slots
    std::mutex closeLock;             // with closeDone: the first close has finished
    std::condition_variable closeFinished;
    bool closeDone;
    // The Digest client's state (password, every slot's authRequested to lastRequest): the
    // receive thread answers challenges while an owner thread sends and another hands over a
    // password. Taken before sendSetLock; recursive, since a password resends requests.
    std::recursive_mutex digestLock;
};

// The process-wide lock over every set's send buffers.
std::mutex &SendBufferMutex();

// A zeroed set with running = 1; no thread is started. Null when out of memory or events.
[[nodiscard]] SocketSet *SocketSetCreate();
// Closes (reason 0) if still running, waits for every worker still ending, frees the memory.
// Call from an owner thread, never from a callback. Null is allowed.
void SocketSetFree(SocketSet *set);

// host: name or dotted IPv4 text, or null. Returns 1 when the slot is taken.
[[nodiscard]] int SocketSetOpen(SocketSet *set, const char *host, uint16_t localPort,
                                uint16_t remotePort, int kind, int key, int parseHttp);
// TCP: 1 when queued (the send thread writes it later); UDP: 1 when sent as one datagram.
// Any thread may call it.
[[nodiscard]] int SocketSetSend(SocketSet *set, const void *data, uint64_t length, int key);
// Shuts down both directions of the keyed socket; it stays open and watched.
void SocketSetShutdownSlot(SocketSet *set, int key);
// Stops every thread, closes every socket and frees the buffers; idempotent. reason != 0 is
// reported through onClosed on the calling thread. When another thread's close is under way,
// an owner thread waits for it to finish; a worker thread returns at once.
void SocketSetClose(SocketSet *set, int reason);
// The in-use slot with that key, or null.
SocketSlot *SocketSetFindSlot(SocketSet *set, int key);
// The key of the in-use slot holding socket, or -1.
int SocketSetKeyForSocket(SocketSet *set, int socket);

// How a connected TCP slot notices a peer that vanished without a word, and how it sends.
struct TcpTuning {
    int32_t unacknowledgedMs;     // TCP_USER_TIMEOUT: data may wait this long without an ACK
    int32_t keepAliveIdleSeconds; // first probe after this much silence; 0: no probes
    int32_t keepAliveIntervalSeconds;
    int32_t keepAliveCount;
    const char *congestionControl; // tried by name; null or refused: the system's default
};

// Applies tuning to the keyed TCP slot (any thread, typically onConnected). A refused
// congestion control quietly leaves the default; the one in use is logged once per call
// when one was asked for. Returns 1 when the slot's liveness options are all set.
int SocketSetTuneTcp(SocketSet *set, int key, const TcpTuning *tuning);

// What waits to be sent on a TCP slot and what its peer has acknowledged.
struct SocketSendState {
    uint64_t ringBytes;   // in the slot's own send ring
    uint64_t socketBytes; // written to the socket, not yet acknowledged
    uint64_t bytesAcked;  // running total acknowledged by the peer
};

// Fills out for the keyed connected TCP slot (any thread). Returns 1, or 0 when the slot is
// gone or the system does not tell.
int SocketSetSendState(SocketSet *set, int key, SocketSendState *out);

// Fills pair with a connected pair of loopback TCP sockets (read end, write end).
// Returns 0, or -1 with both set to -1.
[[nodiscard]] int CreateLoopbackPair(int pair[2]);
