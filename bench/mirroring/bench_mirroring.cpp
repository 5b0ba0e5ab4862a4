// The per-picture cost of the stream packets against the anchor of copying the picture once
// (the least any sender that hands a buffer to a socket queue must do). Compare the two
// times of one run: the ratio is what counts, not the absolute figure.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "base/log.h"
#include "mirroring/ntpd.h"
#include "mirroring/stream_packets.h"

namespace {

struct Sink {
    std::vector<uint8_t> queue; // stands in for the socket set's send ring
    static void Send(void *context, const uint8_t *bytes, size_t length) {
        Sink *s = (Sink *)context;
        memcpy(s->queue.data(), bytes, length < s->queue.size() ? length : s->queue.size());
    }
};

std::vector<uint8_t> Picture(size_t n) {
    std::vector<uint8_t> p(n);
    for (size_t i = 0; i < n; i++) p[i] = (uint8_t)(i * 31 + 7);
    return p;
}

void BM_CopyPictureOnce(benchmark::State &state) {
    std::vector<uint8_t> picture = Picture((size_t)state.range(0));
    Sink sink;
    sink.queue.resize(picture.size() + 4096);
    for (auto _ : state) {
        memcpy(sink.queue.data(), picture.data(), picture.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

void BM_SendStreamFrame(benchmark::State &state) {
    LogOutputMode = 3; // no log output while measuring
    std::vector<uint8_t> picture = Picture((size_t)state.range(0));
    const uint8_t avcc[] = {1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 4, 0x67, 0x64, 0, 0x1F,
                            1, 0, 4, 0x68, 0xEE, 0x3C, 0x80};
    Sink sink;
    sink.queue.resize(picture.size() + 4096);
    StreamSender sender;
    if (!StreamSenderInit(&sender, Sink::Send, &sink)) {
        state.SkipWithError("out of memory");
        return;
    }
    StreamGeometryInputs inputs{1280, 720, 1280, 720, 1920, 1080};
    int64_t now = 2000000000;
    for (auto _ : state) {
        StreamSenderSendFrame(&sender, avcc, sizeof avcc, picture.data(), picture.size(), inputs,
                              now);
        benchmark::ClobberMemory();
    }
    StreamSenderFree(&sender);
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

void BM_NtpReply(benchmark::State &state) {
    uint8_t request[48] = {0x23}, reply[48];
    for (auto _ : state) {
        size_t n = NtpBuildReply(request, 48, StreamClockNow(), StreamClockNow(), reply);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(reply);
    }
}

// Typical encoded pictures: a small P picture and a 1080p key picture.
BENCHMARK(BM_CopyPictureOnce)->Arg(8 * 1024)->Arg(256 * 1024);
BENCHMARK(BM_SendStreamFrame)->Arg(8 * 1024)->Arg(256 * 1024);
BENCHMARK(BM_NtpReply);

} // namespace

BENCHMARK_MAIN();
