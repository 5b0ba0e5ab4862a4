// Cost of capturing one 1920x1080 frame. The anchor is a plain XGetImage of the root
// window on the same server in the same run; the front-buffer method (shared memory)
// and the window-drawable method are reported against it. Starts its own Xvfb.
//
//   ostrel-bench-capture [--benchmark_min_time=...]
#include <benchmark/benchmark.h>

#include "capture/capture_method.h"
#include "capture/displays.h"
#include "capture/x11_session.h"
#include "x_test_server.h"

#include <X11/Xutil.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

TestXServer gServer;
bool gStarted;

// Draws something other than a flat colour so nothing can shortcut the copy.
void PaintRoot() {
    Display *display = XOpenDisplay(gServer.name.c_str());
    if (!display) return;
    Window root = DefaultRootWindow(display);
    GC gc = XCreateGC(display, root, 0, nullptr);
    for (int i = 0; i < 64; i++) {
        XSetForeground(display, gc, (unsigned long)(i * 0x030507 + 0x102030));
        XFillRectangle(display, root, gc, (i * 97) % kWidth, (i * 53) % kHeight, 400, 300);
    }
    XFreeGC(display, gc);
    XSync(display, False);
    XCloseDisplay(display);
}

void AnchorXGetImage(benchmark::State &state) {
    Display *display = XOpenDisplay(gServer.name.c_str());
    if (!display) {
        state.SkipWithError("no X display");
        return;
    }
    std::vector<uint8_t> slot((size_t)kWidth * kHeight * 4);
    for (auto _ : state) {
        XImage *image = XGetImage(display, DefaultRootWindow(display), 0, 0, kWidth, kHeight,
                                  AllPlanes, ZPixmap);
        if (!image) {
            state.SkipWithError("XGetImage failed");
            break;
        }
        for (int row = 0; row < kHeight; row++)
            memcpy(&slot[(size_t)row * kWidth * 4],
                   image->data + (size_t)row * image->bytes_per_line, (size_t)kWidth * 4);
        XDestroyImage(image);
        benchmark::DoNotOptimize(slot.data());
    }
    XCloseDisplay(display);
}

void CaptureDisplay(benchmark::State &state, const CaptureMethodOps &ops) {
    CaptureSession *session = CaptureSessionOpen();
    if (!session) {
        state.SkipWithError("no capture session");
        return;
    }
    CaptureGeometry g{};
    if (!ops.geometry(session, ProcessDisplayList(), 0, 0, &g) || g.rect.width != kWidth) {
        state.SkipWithError("unexpected display geometry");
        CaptureSessionClose(session);
        return;
    }
    void *object = ops.create(session);
    ops.prepare(object, 0, g.rect.width, g.rect.height);
    std::vector<uint8_t> slot((size_t)kWidth * kHeight * 4);
    CaptureFrameRequest request{0, g.rect, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (auto _ : state) {
        if (!ops.capture(object, &request, slot.data())) {
            state.SkipWithError("capture failed");
            break;
        }
        benchmark::DoNotOptimize(slot.data());
    }
    ops.destroy(object);
    CaptureSessionClose(session);
}

void FrontBuffer(benchmark::State &state) {
    CaptureDisplay(state, kFrontBufferCaptureOps);
}
void WindowMethodOnRoot(benchmark::State &state) {
    CaptureDisplay(state, kWindowCaptureOps);
}

BENCHMARK(AnchorXGetImage)->Unit(benchmark::kMillisecond);
BENCHMARK(FrontBuffer)->Unit(benchmark::kMillisecond);
BENCHMARK(WindowMethodOnRoot)->Unit(benchmark::kMillisecond);

// Prints each result as a ratio to the anchor after the usual table.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            double t = run.GetAdjustedRealTime();
            if (run.benchmark_name() == "AnchorXGetImage") anchor_ = t;
            times_.push_back({run.benchmark_name(), t});
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        if (anchor_ <= 0) return;
        for (const auto &entry : times_)
            printf("ratio %-20s %.4f of XGetImage (%.3f ms per 1920x1080 frame)\n",
                   entry.first.c_str(), entry.second / anchor_, entry.second);
    }

  private:
    double anchor_ = 0;
    std::vector<std::pair<std::string, double>> times_;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    gStarted = TestXServerStart(&gServer, kWidth, kHeight, false);
    if (!gStarted) {
        fprintf(stderr, "could not start Xvfb\n");
        return 1;
    }
    OvX11SetDisplayName(gServer.name.c_str());
    EnumerateDisplays();
    PaintRoot();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    OvX11CloseShared();
    TestXServerStop(&gServer);
    return 0;
}
