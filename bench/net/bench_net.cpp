// Bulk TCP sending on loopback: through a SocketSet (queue, send thread, 32 KiB chunks)
// against a plain blocking send loop on a socket of its own, in the same run. The ratio of
// the two throughputs is printed at the end.
#include <arpa/inet.h>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "net/socket_set.h"

namespace {

constexpr size_t kMessage = 64 * 1024;
constexpr uint64_t kPerIteration = 64ull * 1024 * 1024;
constexpr uint64_t kQueueLimit = 8ull * 1024 * 1024;

double plainBytesPerSecond = 0;
double setBytesPerSecond = 0;

// A loopback listener whose one accepted connection is read and discarded on a thread.
struct Sink {
    int listener = -1;
    uint16_t port = 0;
    std::atomic<uint64_t> received{0};
    std::thread reader;

    Sink() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(listener, (sockaddr *)&address, sizeof address);
        listen(listener, 1);
        getsockname(listener, (sockaddr *)&address, &size);
        port = ntohs(address.sin_port);
        reader = std::thread([this] {
            int fd = accept(listener, nullptr, nullptr);
            std::vector<char> buffer(256 * 1024);
            for (;;) {
                ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
                if (got <= 0) break;
                received += (uint64_t)got;
            }
            close(fd);
        });
    }
    void WaitFor(uint64_t total) {
        while (received.load() < total)
            std::this_thread::yield();
    }
    ~Sink() {
        reader.join();
        close(listener);
    }
};

void PlainSendLoop(benchmark::State &state) {
    Sink sink;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(sink.port);
    if (connect(fd, (sockaddr *)&address, sizeof address) != 0) {
        state.SkipWithError("connect failed");
        close(fd);
        return;
    }
    std::vector<uint8_t> message(kMessage, 0x5A);
    uint64_t total = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        for (uint64_t sent = 0; sent < kPerIteration; sent += kMessage) {
            size_t done = 0;
            while (done < kMessage) {
                ssize_t n = send(fd, message.data() + done, kMessage - done, MSG_NOSIGNAL);
                if (n <= 0) break;
                done += (size_t)n;
            }
        }
        total += kPerIteration;
        sink.WaitFor(total);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    plainBytesPerSecond = total / seconds;
    state.SetBytesProcessed((int64_t)total);
    close(fd);
}

void SocketSetBulkSend(benchmark::State &state) {
    Sink sink;
    SocketSet *set = SocketSetCreate();
    if (!SocketSetOpen(set, "127.0.0.1", 0, sink.port, TcpConnect, 1, 0)) {
        state.SkipWithError("open failed");
        SocketSetFree(set);
        return;
    }
    SocketSlot *slot = SocketSetFindSlot(set, 1);
    while (!slot->ready)
        std::this_thread::yield();
    std::vector<uint8_t> message(kMessage, 0x5A);
    uint64_t total = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        for (uint64_t sent = 0; sent < kPerIteration; sent += kMessage) {
            // Senders never block in the set; the producer holds back while much is queued.
            while (__atomic_load_n(&slot->queued, __ATOMIC_RELAXED) > kQueueLimit)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            if (!SocketSetSend(set, message.data(), kMessage, 1)) {
                state.SkipWithError("send refused");
                break;
            }
        }
        total += kPerIteration;
        sink.WaitFor(total);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    setBytesPerSecond = total / seconds;
    state.SetBytesProcessed((int64_t)total);
    SocketSetClose(set, 0);
    SocketSetFree(set);
}

BENCHMARK(PlainSendLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(SocketSetBulkSend)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (plainBytesPerSecond > 0 && setBytesPerSecond > 0)
        printf("SocketSet bulk send: %.0f MiB/s, plain send loop: %.0f MiB/s, ratio %.2f\n",
               setBytesPerSecond / 1048576, plainBytesPerSecond / 1048576,
               setBytesPerSecond / plainBytesPerSecond);
    return 0;
}
