#include "net/socket_set.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/clock.h"
#include "base/event.h"
#include "base/log.h"
#include "base/thread.h"
#include "net/http_internal.h"
#include "net/tcp_send_state.h"

std::mutex &SendBufferMutex() {
    static std::mutex lock;
    return lock;
}

static void CloseFd(int &fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

int CreateLoopbackPair(int pair[2]) {
    pair[0] = pair[1] = -1;
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof address;
    if (bind(listener, (sockaddr *)&address, sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (sockaddr *)&address, &size) != 0) {
        close(listener);
        return -1;
    }
    pair[1] = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (pair[1] < 0 || connect(pair[1], (sockaddr *)&address, sizeof address) != 0) {
        CloseFd(pair[1]);
        close(listener);
        return -1;
    }
    pair[0] = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    if (pair[0] < 0) {
        CloseFd(pair[1]);
        return -1;
    }
    return 0;
}

SocketSet *SocketSetCreate() {
    SocketSet *set = new (std::nothrow) SocketSet();
    if (!set) return nullptr;
    set->receivePipe[0] = set->receivePipe[1] = -1;
    for (SocketSlot &slot : set->slots)
        slot.socket = -1;
    set->highestSlot = -1;
    set->sendBufferLock = &SendBufferMutex();
    set->running = 1;
    return set;
}

SocketSlot *SocketSetFindSlot(SocketSet *set, int key) {
    int highest = set->highestSlot.load();
    for (int i = 0; i <= highest; i++) {
        SocketSlot &slot = set->slots[i];
        if (slot.inUse && slot.key == key) return &slot;
    }
    return nullptr;
}

int SocketSetKeyForSocket(SocketSet *set, int socket) {
    int highest = set->highestSlot.load();
    for (int i = 0; i <= highest; i++) {
        SocketSlot &slot = set->slots[i];
        if (slot.inUse && slot.socket == socket) return slot.key;
    }
    return -1;
}

static SocketSlot *SlotForSocket(SocketSet *set, int socket) {
    int highest = set->highestSlot.load();
    for (int i = 0; i <= highest; i++) {
        SocketSlot &slot = set->slots[i];
        if (slot.inUse && slot.socket == socket) return &slot;
    }
    return nullptr;
}

static void RaiseHighestSlot(SocketSet *set, int index) {
    int current = set->highestSlot.load();
    while (current < index && !set->highestSlot.compare_exchange_weak(current, index)) {
    }
}

// Returns 1 when the descriptor was not in the set before.
static int AddDescriptor(DescriptorSet *fds, int32_t *low, int32_t *high, int fd) {
    if (*high == 0 || fd > *high) *high = fd;
    if (*low == 0 || fd < *low) *low = fd;
    // One entry per socket: repeated entries of one busy socket could fill the set and
    // leave another socket's queue unserved.
    for (int i = 0; i < fds->count; i++)
        if (fds->fds[i] == fd) return 0;
    // A full set silently drops the descriptor.
    if (fds->count < kSocketSetMaxDescriptors) fds->fds[fds->count++] = fd;
    return 1;
}

static void RemoveDescriptor(DescriptorSet *fds, int32_t *low, int32_t *high, int fd) {
    for (int i = 0; i < fds->count; i++) {
        if (fds->fds[i] != fd) continue;
        memmove(&fds->fds[i], &fds->fds[i + 1], (fds->count - i - 1) * sizeof(int));
        fds->count--;
        break;
    }
    *low = *high = 0;
    for (int i = 0; i < fds->count; i++) {
        if (*high == 0 || fds->fds[i] > *high) *high = fds->fds[i];
        if (*low == 0 || fds->fds[i] < *low) *low = fds->fds[i];
    }
}

// ---- receive thread ----

// The error a TCP socket ends with once its retransmissions or keep-alive probes ran out:
// ETIMEDOUT, or the unreachability the system last saw on the way (a link gone down).
static bool PeerWentSilent(int error) {
    return error == ETIMEDOUT || error == EHOSTUNREACH || error == ENETUNREACH;
}

static void ReceiveThreadMain(void *arg) {
    SocketSet *set = static_cast<SocketSet *>(arg);
    uint8_t *buffer = (uint8_t *)malloc(kSocketReadSize);
    if (!buffer) {
        DebugLog(2, "Recv thread out of memory\n");
        SocketSetClose(set, CloseReceiveFailed);
        return;
    }
    pollfd fds[kSocketSetMaxDescriptors];
    while (set->running) {
        DescriptorSet watched;
        {
            // A short copy; the lock only guards against reading a half-written entry.
            std::lock_guard<std::mutex> hold(set->registrationLock);
            watched = set->receiveSet;
        }
        if (watched.count == 0) {
            (void)EventWait(set->receiveEvent, -1);
            if (!set->running) break;
            continue;
        }
        for (int i = 0; i < watched.count; i++)
            fds[i] = {watched.fds[i], POLLIN, 0};
        int result = poll(fds, watched.count, -1);
        if (!set->running) break;
        if (result < 0) {
            if (errno == EINTR) continue;
            // A wait that fails would fail again at once: close instead of spinning.
            int error = errno;
            DebugLog(2, "Recv select error: %s (%i)\n", strerror(error), error);
            SocketSetClose(set, CloseSelectFailed);
            break;
        }
        // Serve readable descriptors lowest first.
        bool ended = false;
        for (int pass = 0; pass < watched.count && !ended; pass++) {
            int best = -1;
            for (int i = 0; i < watched.count; i++) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) continue;
                if (best < 0 || fds[i].fd < fds[best].fd) best = i;
            }
            if (best < 0) break;
            int fd = fds[best].fd;
            fds[best].revents = 0;
            if (fd == set->receivePipe[0]) {
                char drain[1024];
                ssize_t r = read(fd, drain, sizeof drain);
                (void)r;
                continue;
            }
            SocketSlot *slot = SlotForSocket(set, fd);
            if (!slot || !slot->ready) {
                ended = true;
                break;
            }
            ssize_t got = recv(fd, buffer, kSocketReadSize, 0);
            // An empty datagram is legal and says nothing; only a stream read of 0 is a close.
            if (got == 0 && slot->kind != TcpConnect) continue;
            if (got <= 0) {
                int error = got < 0 ? errno : 0;
                if (!set->running) {
                    ended = true;
                    break;
                }
                DebugLog(1, "Error receiving: %s (%i - %i)\n", strerror(error), error, (int)got);
                SocketSetClose(set, got == 0             ? ClosePeerClosed
                                    : PeerWentSilent(error) ? CloseTimedOut
                                                            : CloseReceiveFailed);
                ended = true;
                break;
            }
            if (set->onReceived) set->onReceived(set, slot->key, buffer, (size_t)got, set->user);
            if (!set->running) ended = true;
        }
        if (ended) break;
    }
    free(buffer);
}

static void RegisterForReceive(SocketSet *set, int fd) {
    std::lock_guard<std::mutex> hold(set->registrationLock);
    if (!set->running) return;
    if (!ThreadIsStarted(&set->receiveThread)) {
        if (CreateLoopbackPair(set->receivePipe) != 0) {
            DebugLog(2, "Recv thread self-pipe creation failed\n");
            return;
        }
        set->receiveSet.count = 0;
        set->receiveLow = set->receiveHigh = 0;
        AddDescriptor(&set->receiveSet, &set->receiveLow, &set->receiveHigh, set->receivePipe[0]);
        if (!set->receiveEvent) set->receiveEvent = EventCreate(false, false);
        if (!ThreadStart(&set->receiveThread, "SocketRecv", ReceiveThreadMain, set)) {
            DebugLog(2, "Recv thread could not be created\n");
            return;
        }
    }
    AddDescriptor(&set->receiveSet, &set->receiveLow, &set->receiveHigh, fd);
    if (set->receiveEvent) EventSet(set->receiveEvent);
    char wake = 'X';
    ssize_t r = write(set->receivePipe[1], &wake, 1);
    (void)r;
}

// ---- connect thread ----

// Connects without blocking the set's close: the kernel's own time-out still applies, but a
// close wakes the wait through connectEvent.
static int ConnectSlot(SocketSet *set, SocketSlot *slot) {
    int fd = slot->socket;
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int result = connect(fd, (sockaddr *)&slot->remoteAddress, sizeof slot->remoteAddress);
    if (result != 0 && errno == EINPROGRESS) {
        pollfd fds[2] = {{fd, POLLOUT, 0}, {EventFd(set->connectEvent), POLLIN, 0}};
        for (;;) {
            int r = poll(fds, 2, -1);
            if (r < 0 && errno == EINTR) continue;
            if (!set->running) {
                result = -1;
                errno = ECANCELED;
                break;
            }
            if (r > 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
                int error = 0;
                socklen_t size = sizeof error;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
                result = error == 0 ? 0 : -1;
                errno = error;
                break;
            }
            if (r > 0 && (fds[1].revents & POLLIN)) {
                // A close, or another open; the scan after this connect finds new slots anyway.
                (void)EventWait(set->connectEvent, 0);
                continue;
            }
        }
    }
    fcntl(fd, F_SETFL, flags);
    return result;
}

static SocketSlot *NextSlotToConnect(SocketSet *set) {
    int highest = set->highestSlot.load();
    for (int i = 0; i <= highest; i++) {
        SocketSlot &slot = set->slots[i];
        if (slot.inUse && !slot.ready && slot.kind == TcpConnect && slot.socket >= 0) return &slot;
    }
    return nullptr;
}

static void ConnectThreadMain(void *arg) {
    SocketSet *set = static_cast<SocketSet *>(arg);
    // Wait until the opening thread has stored this thread's handle.
    { std::lock_guard<std::mutex> hold(set->openLock); }
    while (set->running) {
        SocketSlot *slot = NextSlotToConnect(set);
        if (!slot) {
            (void)EventWait(set->connectEvent, -1);
            continue;
        }
        while (slot && set->running) {
            int result = ConnectSlot(set, slot);
            if (!set->running) return;
            if (result != 0) {
                DebugLog(2, "Connect Error: %i\n", result);
                SocketSetClose(set, CloseConnectFailed);
                return;
            }
            slot->ready = 1;
            if (set->onConnected) set->onConnected(set, slot->key, set->user);
            RegisterForReceive(set, slot->socket);
            slot = NextSlotToConnect(set);
        }
    }
}

// ---- open ----

static int ResolveHost(const char *host, in_addr *address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) == 0 && found) {
        *address = ((sockaddr_in *)found->ai_addr)->sin_addr;
        freeaddrinfo(found);
        return 1;
    }
    if (found) freeaddrinfo(found);
    address->s_addr = inet_addr(host);
    return 1;
}

int SocketSetOpen(SocketSet *set, const char *host, uint16_t localPort, uint16_t remotePort,
                  int kind, int key, int parseHttp) {
    std::lock_guard<std::mutex> openHold(set->openLock);
    int index = -1;
    for (int i = 0; i < kSocketSetSlots; i++) {
        if (!set->slots[i].inUse) {
            index = i;
            break;
        }
    }
    if (index < 0) return 0;
    SocketSlot *slot = &set->slots[index];

    in_addr remote{};
    remote.s_addr = INADDR_ANY;
    if (host) ResolveHost(host, &remote);
    slot->remoteAddress = {};
    slot->remoteAddress.sin_family = AF_INET;
    slot->remoteAddress.sin_addr = remote;
    slot->remoteAddress.sin_port = htons(remotePort);
    slot->localAddress = {};
    slot->localAddress.sin_family = AF_INET;
    slot->localAddress.sin_addr.s_addr = INADDR_ANY;
    slot->localAddress.sin_port = htons(localPort);
    slot->localPort = localPort;
    slot->remotePort = remotePort;
    slot->kind = kind;
    slot->key = key;
    slot->parseHttp = parseHttp;
    slot->ready = 0;
    memcpy(slot->password, set->password, sizeof slot->password);
    slot->password[sizeof slot->password - 1] = 0;
    if (parseHttp) {
        slot->receiveBuffer = HttpReceiveBufferCreate();
        slot->authRequested = 0;
        slot->retriedWithPassword = 0;
    }

    bool datagram = kind == UdpBound || kind == UdpConnected;
    int fd = socket(AF_INET, (datagram ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        int error = errno;
        DebugLog(1, "Error creating socket: %s (%i)\n", strerror(error), error);
        HttpReceiveBufferRelease(slot->receiveBuffer);
        slot->receiveBuffer = nullptr;
        return 0;
    }
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        DebugLog(1, "Failed to set SO_REUSEADDR on socket\n");
    // Datagram sockets refuse this option on Linux; only stream sockets can fail here.
    if (!datagram && setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
        DebugLog(1, "Failed to set TCP_NODELAY on socket\n");

    switch (kind) {
    case TcpConnect:
        slot->socket = fd;
        RaiseHighestSlot(set, index);
        slot->inUse = 1;
        if (!set->connectEvent) set->connectEvent = EventCreate(false, false);
        if (!set->connectEvent) return 1; // out of descriptors: the slot is never connected
        if (!ThreadIsStarted(&set->connectThread) && set->running &&
            !ThreadStart(&set->connectThread, "SocketConnect", ConnectThreadMain, set))
            DebugLog(2, "Connect thread could not be created\n");
        EventSet(set->connectEvent);
        return 1;
    case UdpConnected:
        // The result is not needed: an unroutable peer shows up as a failing send.
        (void)!connect(fd, (sockaddr *)&slot->remoteAddress, sizeof slot->remoteAddress);
        slot->socket = fd;
        RaiseHighestSlot(set, index);
        slot->ready = 1;
        slot->inUse = 1;
        return 1;
    default: {
        if (bind(fd, (sockaddr *)&slot->localAddress, sizeof slot->localAddress) != 0) {
            int error = errno;
            DebugLog(1, "Error binding socket: %s (%i)\n", strerror(error), error);
            close(fd);
            HttpReceiveBufferRelease(slot->receiveBuffer);
            slot->receiveBuffer = nullptr;
            return 0;
        }
        if (localPort == 0) {
            sockaddr_in bound{};
            socklen_t size = sizeof bound;
            if (getsockname(fd, (sockaddr *)&bound, &size) != 0) {
                int error = errno;
                DebugLog(1, "Error getting name socket: %s (%i)\n", strerror(error), error);
                HttpReceiveBufferRelease(slot->receiveBuffer);
                slot->receiveBuffer = nullptr;
                close(fd);
                return 0;
            }
            slot->localPort = ntohs(bound.sin_port);
            slot->localAddress.sin_port = bound.sin_port;
        }
        slot->socket = fd;
        slot->ready = 1;
        RaiseHighestSlot(set, index);
        slot->inUse = 1;
        RegisterForReceive(set, fd);
        return 1;
    }
    }
}

// ---- send ----

// Room for length more bytes; caller holds sendSetLock. Returns 1 when they fit.
static int MakeRoom(SocketSlot *slot, uint64_t length) {
    if (slot->capacity - slot->queued >= length) return 1;
    std::lock_guard<std::mutex> hold(SendBufferMutex());
    if (!slot->sendBuffer) {
        slot->sendBuffer = (uint8_t *)malloc(kSendBufferInitial);
        if (!slot->sendBuffer) return 0;
        slot->capacity = kSendBufferInitial;
        slot->writePos = 0;
        slot->queued = 0;
        // A first message larger than the initial ring grows it at once below.
        if (slot->capacity - slot->queued >= length) return 1;
    }
    uint64_t wanted = slot->queued + length;
    uint64_t newCapacity = wanted + kSendBufferGrowth;
    if (newCapacity >= kSendBufferHardMax) {
        DebugLog(2,
                 "Failed to expand existing buffer of size %lu to at least size %lu (Would exceed "
                 "hardmax of %i)\n",
                 (unsigned long)slot->capacity, (unsigned long)wanted, (int)kSendBufferHardMax);
        return 0;
    }
    uint8_t *grown = (uint8_t *)realloc(slot->sendBuffer, newCapacity);
    if (!grown) return 0;
    if (slot->writePos < slot->queued) {
        // The oldest bytes ended at the old capacity; keep them ending at the new one.
        uint64_t head = slot->queued - slot->writePos;
        memmove(grown + newCapacity - head, grown + slot->capacity - head, head);
    }
    slot->sendBuffer = grown;
    slot->capacity = newCapacity;
    return 1;
}

static void SendThreadMain(void *arg);

int SocketSetSend(SocketSet *set, const void *data, uint64_t length, int key) {
    struct InProgress {
        SocketSet *set;
        explicit InProgress(SocketSet *s) : set(s) { set->sendInProgress++; }
        ~InProgress() { set->sendInProgress--; }
    } inProgress(set);

    if (!set->running) return 0;
    SocketSlot *slot = SocketSetFindSlot(set, key);
    if (!slot || !slot->ready) return 0;
    if (slot->kind == UdpBound || slot->kind == UdpConnected) {
        ssize_t sent = sendto(slot->socket, data, length, 0, (sockaddr *)&slot->remoteAddress,
                              sizeof slot->remoteAddress);
        if (sent < 0) {
            DebugLog(2, "Sendto fail: %ld\n", (long)sent);
            return 0;
        }
        return 1;
    }

    std::lock_guard<std::mutex> hold(set->sendSetLock);
    // A close that began after the check above is waiting for this lock; the buffers are
    // still ours only while the set runs.
    if (!set->running) return 0;
    if (!ThreadIsStarted(&set->sendThread)) {
        if (!set->sendEvent) set->sendEvent = EventCreate(false, false);
        if (!set->sendEvent) return 0;
        if (!ThreadStart(&set->sendThread, "SocketSend", SendThreadMain, set)) {
            DebugLog(2, "Send thread could not be created\n");
            return 0;
        }
    }
    // A socket already in the send set is watched by the send thread (or was added by a
    // send that woke it): only a new entry needs a wake-up.
    bool wake = AddDescriptor(&set->sendSet, &set->sendLow, &set->sendHigh, slot->socket);
    int result = 0;
    if (MakeRoom(slot, length)) {
        const uint8_t *bytes = (const uint8_t *)data;
        uint64_t left = length;
        while (left > 0) {
            uint64_t run = slot->capacity - slot->writePos;
            if (run > left) run = left;
            memcpy(slot->sendBuffer + slot->writePos, bytes, run);
            bytes += run;
            left -= run;
            slot->writePos += run;
            if (slot->writePos == slot->capacity) slot->writePos = 0;
        }
        slot->queued += length;
        result = 1;
    }
    if (wake) EventSet(set->sendEvent);
    return result;
}

static void SendThreadMain(void *arg) {
    SocketSet *set = static_cast<SocketSet *>(arg);
    pollfd fds[kSocketSetMaxDescriptors + 1];
    while (set->running) {
        DescriptorSet watched;
        {
            std::lock_guard<std::mutex> hold(set->sendSetLock);
            watched = set->sendSet;
        }
        if (watched.count == 0) {
            (void)EventWait(set->sendEvent, -1);
            continue;
        }
        for (int i = 0; i < watched.count; i++)
            fds[i] = {watched.fds[i], POLLOUT, 0};
        // The event is watched too so that a close does not wait on a blocked socket.
        fds[watched.count] = {EventFd(set->sendEvent), POLLIN, 0};
        int result = poll(fds, watched.count + 1, -1);
        if (!set->running) break;
        if (result <= 0) {
            if (result < 0 && errno == EINTR) continue;
            int error = errno;
            DebugLog(2, "send select error?! %i, %i\n", result, error);
            SocketSetClose(set, CloseSelectFailed);
            break;
        }
        int fd = -1;
        for (int i = 0; i < watched.count; i++) {
            if (!(fds[i].revents & (POLLOUT | POLLERR | POLLHUP))) continue;
            if (fd < 0 || fds[i].fd < fd) fd = fds[i].fd;
        }
        if (fd < 0) {
            // Only the event fired: consume it and look at the set again.
            if (fds[watched.count].revents & POLLIN) (void)EventWait(set->sendEvent, 0);
            continue;
        }
        SocketSlot *slot = SlotForSocket(set, fd);
        if (!slot) {
            std::lock_guard<std::mutex> hold(set->sendSetLock);
            RemoveDescriptor(&set->sendSet, &set->sendLow, &set->sendHigh, fd);
            continue;
        }
        // A socket that took a whole chunk is served again at once while no other socket
        // waits: the next poll would only report it writable again.
        bool again = true;
        while (again && set->running) {
            again = false;
            uint64_t chunk = 0;
            ssize_t sent = 0;
            int sendError = 0;
            {
                std::unique_lock<std::mutex> setHold(set->sendSetLock);
                // Held across the send: the ring is written out in place, and only growth and
                // close, both under this lock, move or free it. The send never waits for room.
                std::lock_guard<std::mutex> bufferHold(SendBufferMutex());
                uint64_t queued = slot->queued, writePos = slot->writePos;
                uint64_t capacity = slot->capacity;
                RemoveDescriptor(&set->sendSet, &set->sendLow, &set->sendHigh, fd);
                setHold.unlock();
                if (queued > 0) {
                    uint64_t readPos =
                        writePos >= queued ? writePos - queued : writePos + capacity - queued;
                    chunk = queued < kSocketSendChunk ? queued : kSocketSendChunk;
                    if (chunk > capacity - readPos) chunk = capacity - readPos;
                    sent = send(fd, slot->sendBuffer + readPos, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
                    if (sent < 0) sendError = errno;
                }
            }
            if (chunk == 0) break;
            if (sent < 0 && (sendError == EAGAIN || sendError == EINTR)) sent = 0;
            if (sent < 0) {
                if (set->running)
                    SocketSetClose(set, PeerWentSilent(sendError) ? CloseTimedOut : CloseSendFailed);
                return;
            }
            bool drained;
            {
                std::lock_guard<std::mutex> hold(set->sendSetLock);
                slot->queued -= (uint64_t)sent;
                drained = slot->queued == 0;
                if (!drained) AddDescriptor(&set->sendSet, &set->sendLow, &set->sendHigh, fd);
                again = !drained && (uint64_t)sent == chunk && set->sendSet.count == 1;
            }
            if (drained && set->onSent)
                set->onSent(set, slot->key, (uint32_t)sent, (uint64_t)sent, set->user);
        }
    }
}

// ---- close ----

static void JoinWorker(Thread &thread) { ThreadJoin(&thread); }

void SocketSetShutdownSlot(SocketSet *set, int key) {
    // A close releases sockets under this lock: the number cannot be reused meanwhile.
    std::lock_guard<std::mutex> hold(set->sendSetLock);
    SocketSlot *slot = SocketSetFindSlot(set, key);
    if (!slot || slot->socket < 0) {
        DebugLog(2, "Failed to find socket set to shutdown\n");
        return;
    }
    shutdown(slot->socket, SHUT_RDWR);
}

int SocketSetTuneTcp(SocketSet *set, int key, const TcpTuning *tuning) {
    // A close releases sockets under this lock: the number cannot be reused meanwhile.
    std::lock_guard<std::mutex> hold(set->sendSetLock);
    SocketSlot *slot = SocketSetFindSlot(set, key);
    if (!slot || slot->socket < 0 || slot->kind != TcpConnect) return 0;
    int fd = slot->socket;
    int ok = 1;
    auto setOption = [&](int level, int name, int value, const char *text) {
        if (setsockopt(fd, level, name, &value, sizeof value) == 0) return;
        int error = errno;
        DebugLog(1, "Failed to set %s on socket: %s (%i)\n", text, strerror(error), error);
        ok = 0;
    };
    if (tuning->unacknowledgedMs > 0)
        setOption(IPPROTO_TCP, TCP_USER_TIMEOUT, tuning->unacknowledgedMs, "TCP_USER_TIMEOUT");
    if (tuning->keepAliveIdleSeconds > 0) {
        setOption(IPPROTO_TCP, TCP_KEEPIDLE, tuning->keepAliveIdleSeconds, "TCP_KEEPIDLE");
        setOption(IPPROTO_TCP, TCP_KEEPINTVL, tuning->keepAliveIntervalSeconds, "TCP_KEEPINTVL");
        setOption(IPPROTO_TCP, TCP_KEEPCNT, tuning->keepAliveCount, "TCP_KEEPCNT");
        setOption(SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE");
    }
    if (tuning->congestionControl) {
        // Not every kernel has the wanted one (or lets this process choose it): the default
        // then stays, which is no fault.
        (void)setsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, tuning->congestionControl,
                         (socklen_t)strlen(tuning->congestionControl));
        char used[16] = {};
        socklen_t size = sizeof used - 1;
        if (getsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, used, &size) != 0) strcpy(used, "?");
        DebugLog(2, "Congestion control on the connection to port %u: %s\n",
                 (unsigned)slot->remotePort, used);
    }
    return ok;
}

int SocketSetSendState(SocketSet *set, int key, SocketSendState *out) {
    // A close releases sockets under this lock: the number cannot be reused meanwhile.
    std::lock_guard<std::mutex> hold(set->sendSetLock);
    SocketSlot *slot = SocketSetFindSlot(set, key);
    if (!set->running || !slot || slot->socket < 0 || slot->kind != TcpConnect || !slot->ready)
        return 0;
    out->ringBytes = slot->queued;
    return ReadTcpSendState(slot->socket, &out->socketBytes, &out->bytesAcked);
}

static void ReleaseSlots(SocketSet *set, bool releaseReceive) {
    std::lock_guard<std::recursive_mutex> digestHold(set->digestLock);
    std::lock_guard<std::mutex> setHold(set->sendSetLock);
    std::lock_guard<std::mutex> bufferHold(SendBufferMutex());
    int highest = set->highestSlot.load();
    for (int i = 0; i <= highest; i++) {
        SocketSlot &slot = set->slots[i];
        if (slot.socket >= 0) {
            shutdown(slot.socket, SHUT_RDWR);
            CloseFd(slot.socket);
        }
        slot.ready = 0;
        free(slot.sendBuffer);
        slot.sendBuffer = nullptr;
        slot.queued = slot.writePos = slot.capacity = 0;
        if (releaseReceive) {
            HttpReceiveBufferRelease(slot.receiveBuffer);
            slot.receiveBuffer = nullptr;
            HttpMessageFree(slot.lastRequest);
            slot.lastRequest = nullptr;
        }
    }
    set->sendSet.count = 0;
    set->sendLow = set->sendHigh = 0;
}

static bool OnWorkerThread(SocketSet *set) {
    return ThreadIsCurrent(&set->connectThread) || ThreadIsCurrent(&set->receiveThread) ||
           ThreadIsCurrent(&set->sendThread);
}

static void WaitForClose(SocketSet *set) {
    std::unique_lock<std::mutex> hold(set->closeLock);
    set->closeFinished.wait(hold, [set] { return set->closeDone; });
}

void SocketSetClose(SocketSet *set, int reason) {
    int32_t wasRunning = 1;
    if (!set->running.compare_exchange_strong(wasRunning, 0)) {
        // The closing thread may be joining this one: a worker must not wait for it.
        if (!OnWorkerThread(set)) WaitForClose(set);
        return;
    }
    set->closeReason = reason;
    // Any send that saw the set running and is starting the send thread finishes first.
    { std::lock_guard<std::mutex> hold(set->sendSetLock); }

    // Wake every worker: events for the idle ones, a shutdown for blocked reads and writes.
    if (set->connectEvent) EventSet(set->connectEvent);
    if (set->sendEvent) EventSet(set->sendEvent);
    {
        // The connect thread creates the receive side under this lock.
        std::lock_guard<std::mutex> hold(set->registrationLock);
        if (set->receiveEvent) EventSet(set->receiveEvent);
        if (set->receivePipe[1] >= 0) {
            char wake = 'X';
            ssize_t r = write(set->receivePipe[1], &wake, 1);
            (void)r;
        }
    }
    int highest = set->highestSlot.load();
    for (int i = 0; i <= highest; i++)
        if (set->slots[i].socket >= 0) shutdown(set->slots[i].socket, SHUT_RDWR);

    // Descriptors are closed only after the workers have ended, so that none of them can
    // touch a number the system has already handed out again.
    JoinWorker(set->connectThread);
    JoinWorker(set->receiveThread);
    JoinWorker(set->sendThread);

    if (set->sendInProgress) {
        DebugLog(2, "Busy wait for direct-send to finish\n");
        for (int i = 0; i < 1000 && set->sendInProgress; i++)
            SleepMillis(1);
    }

    // A close from a receive callback leaves the parser's buffers to SocketSetFree: the
    // dispatcher below the callback still holds them.
    bool onReceiveThread = ThreadIsCurrent(&set->receiveThread);
    ReleaseSlots(set, !onReceiveThread);
    {
        std::lock_guard<std::mutex> hold(set->registrationLock);
        if (set->receivePipe[0] >= 0) shutdown(set->receivePipe[0], SHUT_RDWR);
        if (set->receivePipe[1] >= 0) shutdown(set->receivePipe[1], SHUT_RDWR);
        if (!onReceiveThread) {
            CloseFd(set->receivePipe[0]);
            CloseFd(set->receivePipe[1]);
        }
    }

    if (reason != 0 && set->onClosed) set->onClosed(set, reason, set->user);
    {
        std::lock_guard<std::mutex> hold(set->closeLock);
        set->closeDone = true;
    }
    set->closeFinished.notify_all();
}

void SocketSetFree(SocketSet *set) {
    if (!set) return;
    SocketSetClose(set, 0);
    WaitForClose(set);
    // The workers the closing thread did not join (itself, when it was a worker) may still be
    // returning from their last callback.
    JoinWorker(set->connectThread);
    JoinWorker(set->receiveThread);
    JoinWorker(set->sendThread);
    ThreadDetach(&set->connectThread);
    ThreadDetach(&set->receiveThread);
    ThreadDetach(&set->sendThread);
    ReleaseSlots(set, true);
    CloseFd(set->receivePipe[0]);
    CloseFd(set->receivePipe[1]);
    EventClose(set->connectEvent);
    EventClose(set->receiveEvent);
    EventClose(set->sendEvent);
    delete set;
}
