// Encoding speed of the AAC-ELD core against libavcodec's native AAC encoder (128 kbit/s,
// stereo, 44.1 kHz) on the same music-like input, in the same run.
//   ostrel-bench-aaceld [--benchmark_min_time=2]
// Prints microseconds per 480-sample stereo frame, the real-time factor, and the core's
// speed per sample as a multiple of the anchor's.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "aaceld/aaceld.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

namespace {

constexpr int kRate = 44100;
constexpr int kSeconds = 10;

// Chords with decaying notes, a bass line and a little noise: the mix a desktop plays.
const std::vector<float> &Input() {
    static const std::vector<float> samples = [] {
        std::vector<float> out(2 * kRate * kSeconds);
        std::mt19937 rng(5);
        std::uniform_int_distribution<int> note(0, 24);
        std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
        const int noteLength = kRate / 4;
        double f[3] = {220, 277, 330}, bass = 55;
        for (size_t i = 0; i < out.size() / 2; i++) {
            int inNote = (int)(i % noteLength);
            if (inNote == 0) {
                for (double &v : f)
                    v = 220.0 * pow(2.0, note(rng) / 12.0);
                bass = 55.0 * pow(2.0, note(rng) / 24.0);
            }
            double env = exp(-3.0 * inNote / noteLength), t = (double)i / kRate, l = 0, r = 0;
            for (int k = 0; k < 3; k++) {
                for (int h = 1; h <= 6; h++) {
                    double v = env * 0.08 / h * sin(2 * M_PI * f[k] * h * t);
                    l += v * (k == 0 ? 1.0 : 0.6);
                    r += v * (k == 2 ? 1.0 : 0.6);
                }
            }
            double b = 0.2 * sin(2 * M_PI * bass * t);
            out[2 * i] = (float)(l + b + 0.01 * noise(rng));
            out[2 * i + 1] = (float)(r + b + 0.01 * noise(rng));
        }
        return out;
    }();
    return samples;
}

void SetSampleCounters(benchmark::State &state, int64_t sampleFrames) {
    state.SetItemsProcessed(sampleFrames);
    // Seconds of audio per second of encoding.
    state.counters["realtime"] =
        benchmark::Counter((double)sampleFrames / kRate, benchmark::Counter::kIsRate);
    benchmark::Counter((double)sampleFrames / 480.0,
                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_AacEld(benchmark::State &state) {
    const std::vector<float> &in = Input();
    EncoderConfig config = {39, 128000, 3, 2, kRate, kRate, 5, 480, {0, 1, 0, 1, 1}};
    AacEldEncoder *enc = nullptr;
    EncoderSlot slot;
    if (EncoderOpen(&config, &enc) != kEncoderOk || EncoderInit(enc, &slot) != kEncoderOk) {
        state.SkipWithError("encoder open failed");
        return;
    }
    uint8_t out[8000];
    size_t pos = 0;
    int64_t frames = 0, bytes = 0;
    for (auto _ : state) {
        if (pos + 960 > in.size()) pos = 0;
        int n = EncoderEncode(enc, in.data() + pos, 960, &slot, out, sizeof(out));
        if (n <= 0) {
            state.SkipWithError("encode failed");
            break;
        }
        bytes += n;
        pos += 960;
        frames += 480;
    }
    SetSampleCounters(state, frames);
    state.counters["kbit/s"] = frames ? bytes * 8.0 * kRate / frames / 1000.0 : 0.0;
    EncoderClose(enc);
}

void BM_LibavcodecAac(benchmark::State &state) {
    const std::vector<float> &in = Input();
    const AVCodec *codec = avcodec_find_encoder_by_name("aac");
    AVCodecContext *ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (!ctx) {
        state.SkipWithError("no aac encoder");
        return;
    }
    ctx->sample_rate = kRate;
    ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    ctx->bit_rate = 128000;
    av_channel_layout_default(&ctx->ch_layout, 2);
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        state.SkipWithError("aac encoder open failed");
        return;
    }
    const int frameSize = ctx->frame_size;
    AVFrame *frame = av_frame_alloc();
    frame->nb_samples = frameSize;
    frame->format = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
    frame->sample_rate = kRate;
    av_frame_get_buffer(frame, 0);
    AVPacket *pkt = av_packet_alloc();
    size_t pos = 0;
    int64_t frames = 0, pts = 0;
    for (auto _ : state) {
        if (pos + 2 * (size_t)frameSize > in.size()) pos = 0;
        av_frame_make_writable(frame);
        float *l = (float *)frame->data[0], *r = (float *)frame->data[1];
        for (int i = 0; i < frameSize; i++)
            l[i] = in[pos + 2 * i], r[i] = in[pos + 2 * i + 1];
        frame->pts = pts;
        pts += frameSize;
        if (avcodec_send_frame(ctx, frame) < 0) {
            state.SkipWithError("send failed");
            break;
        }
        while (avcodec_receive_packet(ctx, pkt) == 0)
            av_packet_unref(pkt);
        pos += 2 * (size_t)frameSize;
        frames += frameSize;
    }
    SetSampleCounters(state, frames);
    // Drain the encoder's look-ahead so it closes cleanly.
    if (avcodec_send_frame(ctx, nullptr) == 0) {
        while (avcodec_receive_packet(ctx, pkt) == 0) av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
}

BENCHMARK(BM_AacEld)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LibavcodecAac)->Unit(benchmark::kMicrosecond);

// Console output plus a summary in the units the project reports.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            auto it = run.counters.find("items_per_second");
            if (it != run.counters.end()) perSecond_[run.benchmark_name()] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Summarize() const {
        auto own = perSecond_.find("BM_AacEld"), anchor = perSecond_.find("BM_LibavcodecAac");
        for (const auto &[name, rate] : perSecond_) {
            printf("%-18s %8.2f us per 480-sample stereo frame, %7.1fx real time\n", name.c_str(),
                   480.0 / rate * 1e6, rate / kRate);
        }
        if (own != perSecond_.end() && anchor != perSecond_.end()) {
            printf("AAC-ELD core speed per sample: %.2fx the libavcodec AAC encoder\n",
                   own->second / anchor->second);
        }
    }

  private:
    std::map<std::string, double> perSecond_;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.Summarize();
    benchmark::Shutdown();
    return 0;
}
