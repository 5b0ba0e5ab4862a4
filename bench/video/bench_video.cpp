// Scale stage and encoder throughput. The scale cases are compared with an anchor measured
// in the same run: bilinear scaling followed by BGRX -> I420 with libyuv (linked here only).
// After the runs a table prints each case's time as a ratio of the anchor's.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <libyuv/convert_from_argb.h>
#include <libyuv/cpu_id.h>
#include <libyuv/scale_argb.h>

#include "base/log.h"
#include "video/frame_encoder.h"
#include "video/scale_convert.h"

namespace {

constexpr int kSourceWidth = 1920;
constexpr int kSourceHeight = 1080;

// Screen-like source: gradients, saturated panels and thin strokes.
std::vector<uint8_t> MakeSource(int width, int height) {
    std::vector<uint8_t> out(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            uint8_t *p = &out[(static_cast<size_t>(y) * width + x) * 4];
            p[0] = static_cast<uint8_t>(x * 255 / width);
            p[1] = static_cast<uint8_t>(y * 255 / height);
            p[2] = static_cast<uint8_t>((x ^ y) & 255);
            p[3] = 0;
            if ((x % 12) < 2 && (y / 16) % 3 == 0) p[0] = p[1] = p[2] = 10;
        }
    }
    return out;
}

const std::vector<uint8_t> &Source() {
    static const std::vector<uint8_t> source = MakeSource(kSourceWidth, kSourceHeight);
    return source;
}

struct Planes {
    std::vector<uint8_t> y, u, v;
    uint8_t *p[3];
    Planes(int width, int height)
        : y(static_cast<size_t>(width) * height), u(static_cast<size_t>(width / 2) * (height / 2)),
          v(static_cast<size_t>(width / 2) * (height / 2)) {
        p[0] = y.data();
        p[1] = u.data();
        p[2] = v.data();
    }
};

void SetPixels(benchmark::State &state, int width, int height) {
    state.SetItemsProcessed(state.iterations());
    state.counters["Mpix/s"] =
        benchmark::Counter(static_cast<double>(width) * height * state.iterations() / 1e6,
                           benchmark::Counter::kIsRate);
}

void Ssse3TwoBand(benchmark::State &state, int width, int height) {
    if (!ProbeCpuFeatures()) {
        state.SkipWithError("no SSSE3");
        return;
    }
    Planes planes(width, height);
    for (auto _ : state) {
        ScaleConvertSsse3(Source().data(), kSourceWidth, kSourceHeight, planes.p, width, height, 0);
        benchmark::ClobberMemory();
    }
    SetPixels(state, width, height);
}

// What the mirror benchmark's screen changes in each frame: a 1000x980 corner of the
// 1920x1080 screen, converted on top of the picture before.
void Ssse3ChangedCorner(benchmark::State &state, int width, int height) {
    if (!ProbeCpuFeatures()) {
        state.SkipWithError("no SSSE3");
        return;
    }
    Planes planes(width, height);
    PixelArea area = PictureAreaOfChange(kSourceWidth, kSourceHeight, width, height,
                                         PixelArea{0, 0, 1000, 980});
    for (auto _ : state) {
        ScaleConvertSsse3Area(Source().data(), kSourceWidth, kSourceHeight, planes.p, width,
                              height, 0, 0, &area);
        benchmark::ClobberMemory();
    }
    SetPixels(state, width, height);
}

void Ssse3OneThread(benchmark::State &state, int width, int height) {
    if (!ProbeCpuFeatures()) {
        state.SkipWithError("no SSSE3");
        return;
    }
    Planes planes(width, height);
    ScaleBand band{};
    band.source = Source().data();
    band.sourceWidth = kSourceWidth;
    band.sourceHeight = kSourceHeight;
    band.sourceStride = kSourceWidth * 4;
    band.pictureWidth = width;
    band.pictureHeight = height;
    for (int i = 0; i < 3; i++)
        band.planes[i] = planes.p[i];
    band.firstRow = 0;
    band.rowCount = height;
    for (auto _ : state) {
        ScaleBandSsse3(&band);
        benchmark::ClobberMemory();
    }
    SetPixels(state, width, height);
}

// The path processors without SSSE3 take: plain stretch, then plain conversion.
void Scalar(benchmark::State &state, int width, int height) {
    Planes planes(width, height);
    std::vector<uint8_t> scratch(static_cast<size_t>(width) * height * 4);
    for (auto _ : state) {
        StretchBgrxBilinear(Source().data(), kSourceWidth, kSourceHeight, 0, scratch.data(), width,
                            height);
        ConvertBgrxToI420(scratch.data(), width, height, planes.p);
        benchmark::ClobberMemory();
    }
    SetPixels(state, width, height);
}

void Libyuv(benchmark::State &state, int width, int height) {
    Planes planes(width, height);
    std::vector<uint8_t> scratch(static_cast<size_t>(width) * height * 4);
    for (auto _ : state) {
        libyuv::ARGBScale(Source().data(), kSourceWidth * 4, kSourceWidth, kSourceHeight,
                          scratch.data(), width * 4, width, height, libyuv::kFilterBilinear);
        libyuv::ARGBToI420(scratch.data(), width * 4, planes.p[0], width, planes.p[1], width / 2,
                           planes.p[2], width / 2, width, height);
        benchmark::ClobberMemory();
    }
    SetPixels(state, width, height);
}

// The anchor held to the instruction sets our vector path uses (it picks AVX2 where the
// processor has it), to tell the algorithm apart from the vector width.
void LibyuvSsse3(benchmark::State &state, int width, int height) {
    libyuv::MaskCpuFlags(libyuv::kCpuInitialized | libyuv::kCpuHasX86 | libyuv::kCpuHasSSE2 |
                         libyuv::kCpuHasSSSE3);
    Libyuv(state, width, height);
    libyuv::MaskCpuFlags(-1);
}

// Encoder throughput with the program's parameters on a screen-like picture whose content
// changes a little every frame, as a desktop does.
void Encode(benchmark::State &state, int width, int height) {
    FrameEncoder *encoder = nullptr;
    if (!RebuildFrameEncoder(&encoder, static_cast<float>(width), static_cast<float>(height), 3,
                             1)) {
        state.SkipWithError("no encoder");
        return;
    }
    std::vector<uint8_t> source = MakeSource(width, height);
    Planes planes(width, height);
    ScaleBand band{};
    band.source = source.data();
    band.sourceWidth = width;
    band.sourceHeight = height;
    band.sourceStride = width * 4;
    band.pictureWidth = width;
    band.pictureHeight = height;
    for (int i = 0; i < 3; i++)
        band.planes[i] = planes.p[i];
    band.rowCount = height;
    ScaleBandScalar(&band);
    int frame = 0;
    for (auto _ : state) {
        // A moving block: some macroblocks change every frame.
        int x0 = (frame * 8) % (width - 64);
        for (int y = 64; y < 128; y++)
            memset(planes.p[0] + y * width + x0, frame * 37 & 255, 64);
        if (encoder->encode(encoder, planes.p, 0, nullptr) != 0) {
            state.SkipWithError("encode failed");
            break;
        }
        encoder->framesEncoded++;
        frame++;
    }
    state.counters["fps"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    CloseFrameEncoder(encoder);
}

void RegisterScaleCases(int width, int height) {
    std::string size = std::to_string(width) + "x" + std::to_string(height);
    struct Case {
        const char *name;
        void (*fn)(benchmark::State &, int, int);
    } cases[] = {{"Ssse3TwoBand", Ssse3TwoBand},
                 {"Ssse3ChangedCorner", Ssse3ChangedCorner},
                 {"Ssse3OneThread", Ssse3OneThread},
                 {"Scalar", Scalar},
                 {"Libyuv", Libyuv},
                 {"LibyuvSsse3", LibyuvSsse3}};
    for (const Case &c : cases) {
        auto fn = c.fn;
        benchmark::RegisterBenchmark(
            ("ScaleConvert/" + std::string(c.name) + "/" + size).c_str(),
            [fn, width, height](benchmark::State &state) { fn(state, width, height); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
}

// Console output plus a ratio table at the end.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        // With repetitions the median stands for the case; otherwise its single run.
        for (const Run &run : runs) {
            if (run.error_occurred || run.iterations <= 0) continue;
            std::string name = run.run_name.str();
            size_t minTime = name.find("/min_time:");
            if (minTime != std::string::npos) {
                name.erase(minTime, name.find('/', minTime + 1) - minTime);
            }
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                times_[name] = run.GetAdjustedRealTime();
                medians_[name] = true;
            } else if (run.run_type == Run::RT_Iteration && !medians_[name]) {
                times_[name] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        printf("\nTime as a ratio of the libyuv anchor (same run; lower is faster):\n");
        for (const char *size : {"1280x720", "1920x1080"}) {
            std::string anchorName = std::string("ScaleConvert/Libyuv/") + size + "/real_time";
            auto anchor = times_.find(anchorName);
            if (anchor == times_.end()) continue;
            for (const char *name : {"Ssse3TwoBand", "Ssse3OneThread", "Scalar", "LibyuvSsse3"}) {
                auto it =
                    times_.find(std::string("ScaleConvert/") + name + "/" + size + "/real_time");
                if (it == times_.end()) continue;
                printf("  %-16s %-10s %6.3f x  (%.3f ms vs %.3f ms)\n", name, size,
                       it->second / anchor->second, it->second, anchor->second);
            }
        }
        for (const char *size : {"1280x720", "1920x1080"}) {
            auto encode = times_.find(std::string("Encode/X264/") + size + "/real_time");
            auto scale =
                times_.find(std::string("ScaleConvert/Ssse3TwoBand/") + size + "/real_time");
            if (encode == times_.end()) continue;
            printf("  Encode/X264 %-10s %.1f frames/s", size, 1000.0 / encode->second);
            if (scale != times_.end()) {
                printf("  (%.1f x the two-band scale/convert time)",
                       encode->second / scale->second);
            }
            printf("\n");
        }
    }

  private:
    std::map<std::string, double> times_;
    std::map<std::string, bool> medians_;
};

} // namespace

int main(int argc, char **argv) {
    LogOutputMode = 3; // encoder set-up lines would interleave with the table
    RegisterScaleCases(1280, 720);
    RegisterScaleCases(1920, 1080);
    for (auto size : {std::make_pair(1280, 720), std::make_pair(1920, 1080)}) {
        int width = size.first, height = size.second;
        benchmark::RegisterBenchmark(
            ("Encode/X264/" + std::to_string(width) + "x" + std::to_string(height)).c_str(),
            [width, height](benchmark::State &state) { Encode(state, width, height); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->MinTime(2.0);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
