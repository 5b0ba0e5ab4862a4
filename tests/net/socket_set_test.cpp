#include "net/socket_set.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <vector>

#include "base/clock.h"
#include "net_test_util.h"

namespace {

// What the callbacks saw; written by worker threads, read by the test.
struct Observed {
    std::mutex lock;
    std::vector<int> closedReasons;
    std::vector<int> connectedKeys;
    std::string received;
    std::vector<int> receivedKeys;
    std::vector<size_t> datagramSizes;
    int sentCalls = 0;
    uint32_t lastChunk = 0;
    uint64_t lastChunk64 = 0;

    // A copy of one field, taken under the lock.
    template <class T> T Get(T Observed::*field) {
        std::lock_guard<std::mutex> hold(lock);
        return this->*field;
    }
    size_t ReceivedSize() {
        std::lock_guard<std::mutex> hold(lock);
        return received.size();
    }
    size_t ClosedCount() {
        std::lock_guard<std::mutex> hold(lock);
        return closedReasons.size();
    }
};

void OnClosed(SocketSet *, int reason, void *user) {
    Observed *o = (Observed *)user;
    std::lock_guard<std::mutex> hold(o->lock);
    o->closedReasons.push_back(reason);
}
void OnConnected(SocketSet *, int key, void *user) {
    Observed *o = (Observed *)user;
    std::lock_guard<std::mutex> hold(o->lock);
    o->connectedKeys.push_back(key);
}
void OnReceived(SocketSet *, int key, const uint8_t *data, size_t length, void *user) {
    Observed *o = (Observed *)user;
    std::lock_guard<std::mutex> hold(o->lock);
    o->received.append((const char *)data, length);
    o->receivedKeys.push_back(key);
    o->datagramSizes.push_back(length);
}
void OnSent(SocketSet *, int, uint32_t lastChunk, uint64_t lastChunk64, void *user) {
    Observed *o = (Observed *)user;
    std::lock_guard<std::mutex> hold(o->lock);
    o->sentCalls++;
    o->lastChunk = lastChunk;
    o->lastChunk64 = lastChunk64;
}

SocketSet *NewSet(Observed *observed) {
    SocketSet *set = SocketSetCreate();
    set->onClosed = OnClosed;
    set->onConnected = OnConnected;
    set->onReceived = OnReceived;
    set->onSent = OnSent;
    set->user = observed;
    return set;
}

// Runs work on another thread and reports whether it finished within timeoutMs, so that a
// deadlock fails the test instead of hanging it.
bool FinishesWithin(std::function<void()> work, int timeoutMs) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> future = done->get_future();
    std::thread([work, done] {
        work();
        done->set_value();
    }).detach();
    return future.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
}

// Byte i of the test stream.
uint8_t Pattern(uint64_t i) {
    return (uint8_t)((i * 131 + (i >> 9) * 7) & 0xFF);
}

std::vector<uint8_t> PatternBytes(uint64_t start, size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; i++)
        bytes[i] = Pattern(start + i);
    return bytes;
}

// Connects a TcpConnect slot with key to a fresh listener; returns the accepted peer.
int ConnectSlot(SocketSet *set, LoopbackListener &listener, int key) {
    if (!SocketSetOpen(set, "127.0.0.1", 0, listener.port, TcpConnect, key, 0)) return -1;
    int peer = listener.Accept();
    if (peer < 0) return -1;
    SocketSlot *slot = SocketSetFindSlot(set, key);
    if (!WaitUntil([&] { return slot->ready.load() == 1; }, 5000)) return -1;
    return peer;
}

// Fills the kernel's buffers of a connection whose peer does not read, writing the stream
// bytes from *position on directly. Fixed buffer sizes keep the kernel from making room
// later, so afterwards nothing the set queues can leave until the peer reads.
void BlockConnection(int fd, int peer, uint64_t *position) {
    int size = 32768;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    for (int quietRounds = 0; quietRounds < 2;) {
        bool wrote = false;
        for (;;) {
            std::vector<uint8_t> bytes = PatternBytes(*position, 4096);
            ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent <= 0) break;
            *position += (uint64_t)sent;
            wrote = true;
        }
        quietRounds = wrote ? 0 : quietRounds + 1;
        SleepMillis(50);
    }
}

struct RingState {
    uint64_t queued, writePos, capacity;
};
RingState ReadRing(SocketSet *set, SocketSlot *slot) {
    std::lock_guard<std::mutex> hold(set->sendSetLock);
    return {slot->queued, slot->writePos, slot->capacity};
}

// Reads everything up to total bytes and compares it with the stream, byte for byte.
::testing::AssertionResult PeerReceivesStream(int peer, uint64_t from, uint64_t total) {
    std::string data = ReadExactly(peer, total - from, 20000);
    if (data.size() != total - from)
        return ::testing::AssertionFailure()
               << "peer got " << data.size() << " of " << total - from << " bytes";
    for (size_t i = 0; i < data.size(); i++)
        if ((uint8_t)data[i] != Pattern(from + i))
            return ::testing::AssertionFailure() << "byte " << from + i << " out of order";
    return ::testing::AssertionSuccess();
}

TEST(SocketSetTcp, ConnectsExchangesBytesAndReportsPeerClose) {
    LogCapture log;
    Observed observed;
    SocketSet *set = NewSet(&observed);
    LoopbackListener listener;
    int peer = ConnectSlot(set, listener, 7);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(observed.Get(&Observed::connectedKeys), std::vector<int>{7});
    ASSERT_TRUE(SendAll(peer, "hello", 5));
    ASSERT_TRUE(WaitUntil([&] { return observed.ReceivedSize() == 5; }, 5000));
    EXPECT_EQ(observed.Get(&Observed::received), "hello");
    EXPECT_EQ(observed.Get(&Observed::receivedKeys), std::vector<int>{7});

    EXPECT_EQ(SocketSetSend(set, "world!", 6, 7), 1);
    EXPECT_EQ(ReadExactly(peer, 6), "world!");
    ASSERT_TRUE(WaitUntil([&] { return observed.Get(&Observed::sentCalls) == 1; }, 5000));
    EXPECT_EQ(observed.Get(&Observed::lastChunk), 6u);
    EXPECT_EQ(observed.Get(&Observed::lastChunk64), 6u);
    EXPECT_EQ(SocketSetSend(set, "x", 1, 99), 0) << "unknown key";

    close(peer);
    ASSERT_TRUE(WaitUntil([&] { return observed.ClosedCount() == 1; }, 5000));
    EXPECT_EQ(observed.Get(&Observed::closedReasons)[0], ClosePeerClosed);
    EXPECT_TRUE(log.Contains("Error receiving: Success (0 - 0)"));
    EXPECT_EQ(SocketSetSend(set, "x", 1, 7), 0) << "a closed set sends nothing";
    SocketSetClose(set, 0);
    SocketSetFree(set);
    EXPECT_EQ(observed.Get(&Observed::closedReasons).size(), 1u);
}

TEST(SocketSetTcp, RefusedConnectClosesWithConnectFailed) {
    LogCapture log;
    Observed observed;
    SocketSet *set = NewSet(&observed);
    ASSERT_EQ(SocketSetOpen(set, "127.0.0.1", 0, UnusedLoopbackPort(), TcpConnect, 1, 0), 1);
    ASSERT_TRUE(WaitUntil([&] { return observed.ClosedCount() == 1; }, 5000));
    EXPECT_EQ(observed.Get(&Observed::closedReasons)[0], CloseConnectFailed);
    EXPECT_TRUE(log.Contains("Connect Error: -1\r\n"));
    EXPECT_TRUE(observed.Get(&Observed::connectedKeys).empty());
    SocketSetFree(set);
}

TEST(SocketSetTcp, SendBeforeConnectQueuesNothingAndCloseEndsPendingConnect) {
    // A listener whose accept queue is full leaves further connects pending.
    LoopbackListener listener(0);
    int filler = ConnectLoopback(listener.port);
    ASSERT_GE(filler, 0);
    Observed observed;
    SocketSet *set = NewSet(&observed);
    ASSERT_EQ(SocketSetOpen(set, "127.0.0.1", 0, listener.port, TcpConnect, 3, 0), 1);
    SleepMillis(100);
    SocketSlot *slot = SocketSetFindSlot(set, 3);
    ASSERT_NE(slot, nullptr);
    if (slot->ready) GTEST_SKIP() << "the kernel accepted the connection; nothing stays pending";
    EXPECT_EQ(SocketSetSend(set, "abc", 3, 3), 0);
    EXPECT_EQ(slot->queued, 0u);
    EXPECT_TRUE(FinishesWithin([set] { SocketSetClose(set, 0); }, 3000))
        << "close waited for the pending connect";
    SocketSetFree(set);
    EXPECT_TRUE(observed.Get(&Observed::closedReasons).empty()) << "reason 0 is not reported";
    close(filler);
}

TEST(SocketSetUdp, BoundToPortZeroReportsChosenPortAndReceivesDatagrams) {
    Observed observed;
    SocketSet *set = NewSet(&observed);
    ASSERT_EQ(SocketSetOpen(set, nullptr, 0, 0, UdpBound, 5, 0), 1);
    SocketSlot *slot = SocketSetFindSlot(set, 5);
    ASSERT_NE(slot, nullptr);
    ASSERT_NE(slot->localPort, 0);
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    ASSERT_EQ(getsockname(slot->socket, (sockaddr *)&bound, &size), 0);
    EXPECT_EQ(ntohs(bound.sin_port), slot->localPort);

    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(slot->localPort);
    // An empty datagram is no reason to close the set.
    ASSERT_EQ(sendto(sender, "", 0, 0, (sockaddr *)&to, sizeof to), 0);
    ASSERT_EQ(sendto(sender, "one", 3, 0, (sockaddr *)&to, sizeof to), 3);
    ASSERT_EQ(sendto(sender, "second", 6, 0, (sockaddr *)&to, sizeof to), 6);
    ASSERT_TRUE(WaitUntil([&] { return observed.ReceivedSize() == 9; }, 5000));
    EXPECT_EQ(observed.Get(&Observed::received), "onesecond");
    EXPECT_EQ(observed.Get(&Observed::datagramSizes), (std::vector<size_t>{3, 6}));
    EXPECT_EQ(set->running.load(), 1);
    EXPECT_TRUE(observed.Get(&Observed::closedReasons).empty());
    close(sender);
    SocketSetClose(set, 0);
    SocketSetFree(set);
}

TEST(SocketSetUdp, ConnectedSlotSendsOneDatagramPerCall) {
    int receiver = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(receiver, (sockaddr *)&address, sizeof address), 0);
    ASSERT_EQ(getsockname(receiver, (sockaddr *)&address, &size), 0);

    Observed observed;
    SocketSet *set = NewSet(&observed);
    ASSERT_EQ(SocketSetOpen(set, "127.0.0.1", 0, ntohs(address.sin_port), UdpConnected, 2, 0), 1);
    std::vector<uint8_t> big = PatternBytes(0, 40000);
    EXPECT_EQ(SocketSetSend(set, "abc", 3, 2), 1);
    EXPECT_EQ(SocketSetSend(set, big.data(), big.size(), 2), 1);
    EXPECT_EQ(SocketSetFindSlot(set, 2)->queued, 0u) << "datagrams are never queued";
    char buffer[65536];
    pollfd p{receiver, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_EQ(recv(receiver, buffer, sizeof buffer, 0), 3);
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    ASSERT_EQ(recv(receiver, buffer, sizeof buffer, 0), 40000);
    EXPECT_EQ(memcmp(buffer, big.data(), big.size()), 0);
    close(receiver);
    SocketSetFree(set);
}

TEST(SocketSetSlots, ThirtyThirdOpenFailsSilently) {
    Observed observed;
    SocketSet *set = NewSet(&observed);
    for (int i = 0; i < kSocketSetSlots; i++)
        ASSERT_EQ(SocketSetOpen(set, nullptr, 0, 0, UdpBound, 100 + i, 0), 1) << i;
    LogCapture log;
    EXPECT_EQ(SocketSetOpen(set, nullptr, 0, 0, UdpBound, 200, 0), 0);
    EXPECT_EQ(log.Text(), "");
    EXPECT_EQ(SocketSetFindSlot(set, 200), nullptr);
    EXPECT_NE(SocketSetFindSlot(set, 131), nullptr);
    EXPECT_EQ(set->highestSlot.load(), 31);
    SocketSetFree(set);
}

TEST(SocketSetSend, RingWrapsAndGrowsKeepingBytesInOrder) {
    Observed observed;
    SocketSet *set = NewSet(&observed);
    LoopbackListener listener;
    int peer = ConnectSlot(set, listener, 1);
    ASSERT_GE(peer, 0);
    SocketSlot *slot = SocketSetFindSlot(set, 1);
    uint64_t position = 0;

    // 20000 bytes go through an unblocked connection: the ring's write position moves on.
    std::vector<uint8_t> bytes = PatternBytes(position, 20000);
    ASSERT_EQ(SocketSetSend(set, bytes.data(), bytes.size(), 1), 1);
    position += bytes.size();
    ASSERT_TRUE(PeerReceivesStream(peer, 0, position));
    ASSERT_TRUE(WaitUntil([&] { return ReadRing(set, slot).queued == 0; }, 5000));
    RingState ring = ReadRing(set, slot);
    ASSERT_EQ(ring.capacity, kSendBufferInitial);
    ASSERT_EQ(ring.writePos, 20000u);

    // Block the connection; the set's queue is empty, so writing directly keeps the order.
    uint64_t peerFrom = position;
    BlockConnection(slot->socket, peer, &position);

    // Fill the ring's tail and continue at its start: the queued bytes now wrap.
    bytes = PatternBytes(position, kSendBufferInitial - 20000 + 5000);
    ASSERT_EQ(SocketSetSend(set, bytes.data(), bytes.size(), 1), 1);
    position += bytes.size();
    ring = ReadRing(set, slot);
    EXPECT_EQ(ring.capacity, kSendBufferInitial);
    EXPECT_EQ(ring.writePos, 5000u);
    EXPECT_EQ(ring.queued, bytes.size());

    // Does not fit in the 20000 - 5000 bytes left: the ring grows and the wrapped head moves.
    uint64_t queuedBefore = ring.queued;
    bytes = PatternBytes(position, 50000);
    ASSERT_EQ(SocketSetSend(set, bytes.data(), bytes.size(), 1), 1);
    position += bytes.size();
    ring = ReadRing(set, slot);
    EXPECT_EQ(ring.capacity, queuedBefore + 50000 + kSendBufferGrowth);
    EXPECT_EQ(ring.queued, queuedBefore + 50000);

    // More growth while the peer drains at the same time.
    std::atomic<bool> readOk{false};
    uint64_t total = position + 40 * 30011;
    std::thread reader([&] { readOk = (bool)PeerReceivesStream(peer, peerFrom, total); });
    for (int i = 0; i < 40; i++) {
        bytes = PatternBytes(position, 30011);
        ASSERT_EQ(SocketSetSend(set, bytes.data(), bytes.size(), 1), 1);
        position += bytes.size();
    }
    reader.join();
    EXPECT_TRUE(readOk.load());
    ASSERT_TRUE(WaitUntil([&] { return ReadRing(set, slot).queued == 0; }, 5000));
    EXPECT_TRUE(observed.Get(&Observed::closedReasons).empty());
    close(peer);
    SocketSetClose(set, 0);
    SocketSetFree(set);
}

TEST(SocketSetSend, HardMaximumLogsAndRefusesWithoutLosingQueuedBytes) {
    Observed observed;
    SocketSet *set = NewSet(&observed);
    LoopbackListener listener;
    int peer = ConnectSlot(set, listener, 1);
    ASSERT_GE(peer, 0);
    SocketSlot *slot = SocketSetFindSlot(set, 1);
    uint64_t position = 0;
    BlockConnection(slot->socket, peer, &position);
    uint64_t blocked = position;

    std::vector<uint8_t> bytes = PatternBytes(position, 1000);
    ASSERT_EQ(SocketSetSend(set, bytes.data(), bytes.size(), 1), 1);
    position += bytes.size();
    RingState ring = ReadRing(set, slot);
    ASSERT_EQ(ring.capacity, kSendBufferInitial);

    // queued + length + 32 KiB reaching the maximum is refused with its log line.
    uint64_t tooMuch = kSendBufferHardMax - kSendBufferGrowth - ring.queued;
    std::vector<uint8_t> big(tooMuch, 0xEE);
    {
        LogCapture log;
        EXPECT_EQ(SocketSetSend(set, big.data(), big.size(), 1), 0);
        char line[256];
        snprintf(line, sizeof line,
                 "Failed to expand existing buffer of size %lu to at least size %lu (Would exceed "
                 "hardmax of 20971520)\r\n",
                 (unsigned long)kSendBufferInitial, (unsigned long)(ring.queued + tooMuch));
        EXPECT_EQ(log.Text(), line);
    }
    RingState after = ReadRing(set, slot);
    EXPECT_EQ(after.capacity, ring.capacity);
    EXPECT_EQ(after.queued, ring.queued);

    // One byte less fits just under the maximum.
    bytes = PatternBytes(position, tooMuch - 1);
    ASSERT_EQ(SocketSetSend(set, bytes.data(), bytes.size(), 1), 1);
    position += bytes.size();
    EXPECT_EQ(ReadRing(set, slot).capacity, kSendBufferHardMax - 1);
    EXPECT_TRUE(PeerReceivesStream(peer, 0, position));
    (void)blocked;
    close(peer);
    SocketSetFree(set);
}

TEST(SocketSetSend, FirstMessageLargerThanInitialRingIsQueued) {
    Observed observed;
    SocketSet *set = NewSet(&observed);
    LoopbackListener listener;
    int peer = ConnectSlot(set, listener, 1);
    ASSERT_GE(peer, 0);
    std::vector<uint8_t> bytes = PatternBytes(0, 70000);
    ASSERT_EQ(SocketSetSend(set, bytes.data(), bytes.size(), 1), 1);
    EXPECT_TRUE(PeerReceivesStream(peer, 0, 70000));
    ASSERT_TRUE(WaitUntil([&] { return observed.Get(&Observed::sentCalls) >= 1; }, 5000));
    EXPECT_EQ(observed.Get(&Observed::sentCalls), 1) << "onSent only once the queue is empty";
    EXPECT_GT(observed.Get(&Observed::lastChunk), 0u);
    EXPECT_LE(observed.Get(&Observed::lastChunk), kSocketSendChunk);
    close(peer);
    SocketSetFree(set);
}

TEST(SocketSetSend, BusySlotDoesNotStarveAnotherSlot) {
    Observed observed;
    SocketSet *set = NewSet(&observed);
    LoopbackListener listener;
    int peerA = ConnectSlot(set, listener, 1);
    int peerB = ConnectSlot(set, listener, 2);
    ASSERT_GE(peerA, 0);
    ASSERT_GE(peerB, 0);
    uint64_t position = 0;
    BlockConnection(SocketSetFindSlot(set, 1)->socket, peerA, &position);
    // Many sends on the blocked slot must not crowd the other slot out of the send set.
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(SocketSetSend(set, "a", 1, 1), 1);
    ASSERT_EQ(SocketSetSend(set, "bbb", 3, 2), 1);
    EXPECT_EQ(ReadExactly(peerB, 3, 3000), "bbb");
    close(peerA);
    close(peerB);
    SocketSetFree(set);
}

TEST(SocketSetClose, IsIdempotentAndReportsOnlyNonZeroReasons) {
    Observed observed;
    SocketSet *set = NewSet(&observed);
    ASSERT_EQ(SocketSetOpen(set, nullptr, 0, 0, UdpBound, 1, 0), 1);
    SocketSetClose(set, CloseSendFailed);
    SocketSetClose(set, CloseReceiveFailed);
    SocketSetClose(set, 0);
    EXPECT_EQ(observed.Get(&Observed::closedReasons), std::vector<int>{CloseSendFailed});
    EXPECT_EQ(set->closeReason.load(), CloseSendFailed);
    EXPECT_EQ(SocketSetFindSlot(set, 1)->socket, -1);
    EXPECT_EQ(SocketSetSend(set, "x", 1, 1), 0);
    SocketSetFree(set);

    Observed quiet;
    set = NewSet(&quiet);
    SocketSetClose(set, 0);
    SocketSetFree(set);
    EXPECT_TRUE(quiet.Get(&Observed::closedReasons).empty());
}

struct CallbackClose {
    std::atomic<int> calls{0};
    std::atomic<bool> returned{false};
};

void CloseFromReceive(SocketSet *set, int, const uint8_t *, size_t, void *user) {
    CallbackClose *c = (CallbackClose *)user;
    c->calls++;
    SocketSetClose(set, CloseReceiveFailed);
    SocketSetClose(set, 0);
    c->returned = true;
}
void CountClose(SocketSet *, int, void *user) {
    ((CallbackClose *)user)->calls += 100;
}

TEST(SocketSetClose, FromReceiveCallbackDoesNotDeadlock) {
    CallbackClose state;
    SocketSet *set = SocketSetCreate();
    set->onReceived = CloseFromReceive;
    set->onClosed = CountClose;
    set->user = &state;
    LoopbackListener listener;
    ASSERT_EQ(SocketSetOpen(set, "127.0.0.1", 0, listener.port, TcpConnect, 1, 0), 1);
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    // Keep the send thread busy too, so that the close has a worker to wait for.
    ASSERT_TRUE(WaitUntil([&] { return SocketSetFindSlot(set, 1)->ready.load() == 1; }, 5000));
    ASSERT_EQ(SocketSetSend(set, "ping", 4, 1), 1);
    ASSERT_TRUE(SendAll(peer, "go", 2));
    ASSERT_TRUE(WaitUntil([&] { return state.returned.load(); }, 5000))
        << "the close inside the callback did not return";
    EXPECT_EQ(state.calls.load(), 101) << "one receive, one onClosed";
    EXPECT_TRUE(FinishesWithin([set] { SocketSetFree(set); }, 5000));
    close(peer);
}

void CloseFromConnected(SocketSet *set, int, void *user) {
    ((CallbackClose *)user)->calls++;
    SocketSetClose(set, 0);
    ((CallbackClose *)user)->returned = true;
}

TEST(SocketSetClose, FromConnectCallbackDoesNotDeadlock) {
    CallbackClose state;
    SocketSet *set = SocketSetCreate();
    set->onConnected = CloseFromConnected;
    set->user = &state;
    LoopbackListener listener;
    // A UDP slot first, so that the receive thread exists and must be joined.
    ASSERT_EQ(SocketSetOpen(set, nullptr, 0, 0, UdpBound, 9, 0), 1);
    ASSERT_EQ(SocketSetOpen(set, "127.0.0.1", 0, listener.port, TcpConnect, 1, 0), 1);
    ASSERT_TRUE(WaitUntil([&] { return state.returned.load(); }, 5000));
    EXPECT_EQ(set->running.load(), 0);
    EXPECT_TRUE(FinishesWithin([set] { SocketSetFree(set); }, 5000));
}

TEST(SocketSetShutdown, ShutdownSlotMakesReceiveThreadClose) {
    LogCapture log;
    Observed observed;
    SocketSet *set = NewSet(&observed);
    LoopbackListener listener;
    int peer = ConnectSlot(set, listener, 4);
    ASSERT_GE(peer, 0);
    SocketSetShutdownSlot(set, 4);
    ASSERT_TRUE(WaitUntil([&] { return observed.ClosedCount() == 1; }, 5000));
    EXPECT_EQ(observed.Get(&Observed::closedReasons)[0], ClosePeerClosed);
    SocketSetShutdownSlot(set, 77);
    EXPECT_TRUE(log.Contains("Failed to find socket set to shutdown\r\n"));
    close(peer);
    SocketSetFree(set);
}

TEST(LoopbackPair, CarriesBytesBothWays) {
    int pair[2];
    ASSERT_EQ(CreateLoopbackPair(pair), 0);
    ASSERT_GE(pair[0], 0);
    ASSERT_GE(pair[1], 0);
    ASSERT_EQ(write(pair[1], "X", 1), 1);
    char c = 0;
    ASSERT_EQ(read(pair[0], &c, 1), 1);
    EXPECT_EQ(c, 'X');
    ASSERT_EQ(write(pair[0], "Y", 1), 1);
    ASSERT_EQ(read(pair[1], &c, 1), 1);
    EXPECT_EQ(c, 'Y');
    close(pair[0]);
    close(pair[1]);
}

} // namespace
