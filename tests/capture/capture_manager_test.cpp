// The capture manager's runs against a real X server, with a recording encoder in place of
// the H.264 one so that the pictures handed to the encoder can be inspected.
// GoogleTest before Xlib: Xlib defines None and Bool as macros.
#include <gtest/gtest.h>

#include "base/clock.h"
#include "base/log.h"
#include "capture/capture_manager.h"
#include "capture/capture_method.h"
#include "capture/displays.h"
#include "capture_x_env.h"
#include "tests/support/log_capture.h"
#include "video/frame_encoder.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Records every picture the pipeline hands to the encoder.
struct RecordingEncoder {
    std::mutex lock;
    int width = 0, height = 0;
    std::vector<uint8_t> planes[3];
    void *connection = nullptr;
    std::atomic<int> calls{0};
    std::atomic<int> inits{0};
    std::atomic<int> closes{0};
    std::atomic<int> delayMs{0};
};
RecordingEncoder gRecorder;

int RecordingInit(FrameEncoder *) {
    gRecorder.inits++;
    return EncoderResultOk;
}

int RecordingEncode(FrameEncoder *encoder, uint8_t *const *picture, int, void *connection) {
    {
        std::lock_guard<std::mutex> hold(gRecorder.lock);
        int w = (int)encoder->outputWidth, h = (int)encoder->outputHeight;
        gRecorder.width = w;
        gRecorder.height = h;
        gRecorder.planes[0].assign(picture[0], picture[0] + (size_t)w * h);
        gRecorder.planes[1].assign(picture[1], picture[1] + (size_t)(w / 2) * (h / 2));
        gRecorder.planes[2].assign(picture[2], picture[2] + (size_t)(w / 2) * (h / 2));
        gRecorder.connection = connection;
    }
    gRecorder.calls++;
    int delay = gRecorder.delayMs.load();
    if (delay > 0) SleepMillis(delay);
    return EncoderResultOk;
}

int RecordingClose(FrameEncoder *) {
    gRecorder.closes++;
    return EncoderResultOk;
}

// Takes the encoder kind the manager asks for before the H.264 table can claim it.
bool InstallRecordingEncoder() {
    static bool installed = [] {
        EncoderOps *ops = RegisterEncoderOps(EncoderKindLegacy);
        if (!ops) return false;
        ops->init = RecordingInit;
        ops->encode = RecordingEncode;
        ops->close = RecordingClose;
        return true;
    }();
    return installed;
}

struct Events {
    std::atomic<int> targetLost{0};
    std::atomic<int> clears{0};
};

void OnLost(CaptureManager *, void *user) {
    static_cast<Events *>(user)->targetLost++;
}

void OnStatus(void *context, const char *text) {
    if (text[0] == '\0') static_cast<Events *>(context)->clears++;
}

const unsigned long kRed = 0xFF0000, kWhite = 0xFFFFFF, kBlack = 0x000000;

class ManagerRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(InstallRecordingEncoder());
        gRecorder.delayMs = 0;
        {
            // Pictures of an earlier test must not satisfy this one's waits.
            std::lock_guard<std::mutex> hold(gRecorder.lock);
            gRecorder.width = gRecorder.height = 0;
        }
        server_ = CaptureTestServer();
        ASSERT_NE(server_, nullptr);
        display_ = CaptureTestDisplay();
        ASSERT_NE(display_, nullptr);
        ASSERT_EQ(EnumerateDisplays(), 1);
        manager_ = CaptureManagerCreate(0.0, 1, 0, 0, 60);
        ASSERT_NE(manager_, nullptr);
        manager_->onTargetLost = OnLost;
        manager_->user = &events_;
        manager_->onStatusText = OnStatus;
        manager_->statusContext = &events_;
        CaptureSetReceiverSize(manager_, 1280, 720);
    }
    void TearDown() override {
        CaptureManagerDestroy(manager_);
        for (Window w : windows_)
            XDestroyWindow(display_, w);
        if (display_) XSync(display_, False);
    }
    Window MakeWindow(int x, int y, int w, int h, unsigned long bg, const char *title) {
        TestWindow tw{};
        EXPECT_TRUE(TestWindowCreate(display_, &tw, x, y, w, h, bg, title, "ManagerTest"));
        windows_.push_back(tw.window);
        return tw.window;
    }
    bool WaitForCalls(int atLeast, int timeoutMs = 5000) {
        return WaitUntil([&] { return gRecorder.calls.load() >= atLeast; }, timeoutMs);
    }
    bool WaitForPictureSize(int w, int h, int timeoutMs = 5000) {
        return WaitUntil(
            [&] {
                std::lock_guard<std::mutex> hold(gRecorder.lock);
                return gRecorder.width == w && gRecorder.height == h;
            },
            timeoutMs);
    }
    const TestXServer *server_ = nullptr;
    Display *display_ = nullptr;
    CaptureManager *manager_ = nullptr;
    Events events_;
    std::vector<Window> windows_;
    int connection_ = 0;
};

TEST_F(ManagerRun, DisplayRunEncodesAtOutputSizeAndStopsCleanly) {
    int before = gRecorder.calls.load();
    int initsBefore = gRecorder.inits.load(), closesBefore = gRecorder.closes.load();
    CaptureVideoStart(manager_, &connection_, 0, 0);
    ASSERT_EQ(manager_->running.load(), 1);
    // 1600x1200 into 1280x720: factor 0.6.
    EXPECT_EQ(manager_->outputSize[0].load(), 960);
    EXPECT_EQ(manager_->outputSize[1].load(), 720);
    ASSERT_TRUE(WaitForCalls(before + 3));
    {
        std::lock_guard<std::mutex> hold(gRecorder.lock);
        EXPECT_EQ(gRecorder.width, 960);
        EXPECT_EQ(gRecorder.height, 720);
        EXPECT_EQ(gRecorder.connection, &connection_);
    }
    EXPECT_EQ(manager_->captureRect.width, kTestScreenWidth);
    // A second start while running changes nothing.
    CaptureVideoStart(manager_, nullptr, 0, 0);
    EXPECT_EQ(manager_->connection, &connection_);

    CaptureVideoStop(manager_);
    EXPECT_EQ(manager_->running.load(), 0);
    EXPECT_EQ(events_.clears.load(), 1);
    EXPECT_EQ(gRecorder.inits.load() - initsBefore, 1);
    EXPECT_EQ(gRecorder.closes.load() - closesBefore, 1);
    EXPECT_EQ(manager_->encoder, nullptr);
    int after = gRecorder.calls.load();
    SleepMillis(150);
    EXPECT_EQ(gRecorder.calls.load(), after);
    // A new run builds everything afresh.
    CaptureVideoStart(manager_, &connection_, 0, 0);
    EXPECT_TRUE(WaitForCalls(after + 2));
    CaptureVideoStop(manager_);
    EXPECT_EQ(gRecorder.inits.load() - initsBefore, 2);
    EXPECT_EQ(gRecorder.closes.load() - closesBefore, 2);
}

TEST_F(ManagerRun, OverscanAndQualityChangesRebuildWhenNeeded) {
    CaptureVideoStart(manager_, &connection_, 0, 0);
    ASSERT_TRUE(WaitForPictureSize(960, 720));
    int inits = gRecorder.inits.load();
    // Overscan 0.1 shrinks the picture: the encoder is rebuilt for the new size.
    CaptureSetOverscan(manager_, 0.1);
    ASSERT_TRUE(WaitForPictureSize(864, 648));
    EXPECT_EQ(gRecorder.inits.load(), inits + 1);
    // Quality alone: same size, rebuilt all the same.
    manager_->quality.store(5);
    manager_->rebuildEncoder.store(1);
    ASSERT_TRUE(WaitUntil([&] { return gRecorder.inits.load() == inits + 2; }, 3000));
    int calls = gRecorder.calls.load();
    ASSERT_TRUE(WaitForCalls(calls + 2));
    EXPECT_EQ(gRecorder.inits.load(), inits + 2);
    EXPECT_EQ(manager_->rebuildEncoder.load(), 0);
}

TEST_F(ManagerRun, MinimisedWindowFallsBackToTheDisplayOnce) {
    Window w = MakeWindow(100, 100, 400, 300, kRed, "mirrored");
    CaptureVideoStart(manager_, &connection_, 0, w);
    // Window mode encodes at the target size.
    ASSERT_TRUE(WaitForPictureSize(1280, 720));
    EXPECT_EQ(manager_->windowMode.load(), 1);
    EXPECT_EQ(manager_->captureRect.width, 400);
    EXPECT_EQ(events_.targetLost.load(), 0);

    XIconifyWindow(display_, w, DefaultScreen(display_));
    XSync(display_, False);
    ASSERT_TRUE(WaitUntil([&] { return manager_->window.load() == 0; }, 5000));
    // Capture goes on with the display at its output size.
    ASSERT_TRUE(WaitForPictureSize(960, 720));
    EXPECT_EQ(manager_->windowMode.load(), 0);
    int calls = gRecorder.calls.load();
    ASSERT_TRUE(WaitForCalls(calls + 3));
    EXPECT_EQ(events_.targetLost.load(), 1);
    // Restoring the window does not take it up again.
    XMapWindow(display_, w);
    XSync(display_, False);
    SleepMillis(200);
    EXPECT_EQ(manager_->window.load(), 0u);
    EXPECT_EQ(events_.targetLost.load(), 1);
}

TEST_F(ManagerRun, ResizedWindowIsFollowedWithoutNewEncoder) {
    Window w = MakeWindow(100, 100, 400, 300, kRed, "resized");
    CaptureVideoStart(manager_, &connection_, 0, w);
    ASSERT_TRUE(WaitForPictureSize(1280, 720));
    ASSERT_TRUE(WaitUntil([&] { return manager_->captureRect.width == 400; }, 3000));
    int inits = gRecorder.inits.load();
    XResizeWindow(display_, w, 640, 200);
    XSync(display_, False);
    ASSERT_TRUE(WaitUntil(
        [&] { return manager_->captureRect.width == 640 && manager_->captureRect.height == 200; },
        3000));
    int calls = gRecorder.calls.load();
    ASSERT_TRUE(WaitForCalls(calls + 2));
    // The pipeline was rebuilt for the new capture size; the picture size, and so the
    // encoder, stayed.
    EXPECT_EQ(gRecorder.inits.load(), inits);
    EXPECT_EQ(manager_->window.load(), (WindowHandle)w);
    std::lock_guard<std::mutex> hold(gRecorder.lock);
    EXPECT_EQ(gRecorder.width, 1280);
    // 640x200 fitted into 1280x720: scale 0.5, 160 black rows above and below the red band.
    EXPECT_EQ(gRecorder.planes[0][(size_t)100 * 1280 + 640], 0);
    EXPECT_EQ(gRecorder.planes[0][(size_t)360 * 1280 + 640], 82);
}

TEST_F(ManagerRun, MethodChangeDuringARunRelayoutsAndKeepsCapturing) {
    LogCapture log;
    Window w = MakeWindow(100, 100, 300, 200, kRed, "switching");
    CaptureVideoStart(manager_, &connection_, 0, w);
    ASSERT_TRUE(WaitForPictureSize(1280, 720));
    EXPECT_EQ(manager_->method, CaptureMethodFrontBuffer);
    manager_->methodOverride.store(CaptureMethodWindow);
    ASSERT_TRUE(WaitUntil([&] { return manager_->method == CaptureMethodWindow; }, 3000));
    int calls = gRecorder.calls.load();
    ASSERT_TRUE(WaitForCalls(calls + 3));
    CaptureVideoStop(manager_);
    EXPECT_NE(log.Text().find("Changed Capture Method from: 2 to 0"), std::string::npos);
    EXPECT_NE(log.Text().find("Destroying Capture Buffers!"), std::string::npos);
    EXPECT_NE(log.Text().find("Video capture has stopped"), std::string::npos);
    // The window method's picture of the red window: 300x200 fitted into 1280x720.
    std::lock_guard<std::mutex> hold(gRecorder.lock);
    EXPECT_EQ(gRecorder.planes[0][(size_t)360 * 1280 + 640], 82);
    EXPECT_EQ(gRecorder.planes[0][(size_t)360 * 1280 + 5], 0);
}

TEST_F(ManagerRun, VanishedDisplayFallsBackToDisplayZero) {
    manager_->displayIndex.store(0);
    CaptureVideoStart(manager_, &connection_, 3, 0);
    ASSERT_TRUE(WaitUntil([&] { return manager_->displayIndex.load() == 0; }, 3000));
    ASSERT_TRUE(WaitForPictureSize(960, 720));
    EXPECT_EQ(events_.targetLost.load(), 0);
}

TEST_F(ManagerRun, StopWhileThePipelineIsBlockedReturnsPromptly) {
    // A slow encoder keeps every slot full, so the capture thread waits for a free one.
    gRecorder.delayMs = 120;
    CaptureVideoStart(manager_, &connection_, 0, 0);
    ASSERT_TRUE(WaitForCalls(gRecorder.calls.load() + 3));
    int64_t t0 = MonotonicNanos();
    CaptureVideoStop(manager_);
    double seconds = (MonotonicNanos() - t0) / 1e9;
    // Waits inside the pipeline re-check every 100 ms and one encode call may be running.
    EXPECT_LT(seconds, 1.5);
    EXPECT_EQ(manager_->running.load(), 0);
    int calls = gRecorder.calls.load();
    gRecorder.delayMs = 0;
    SleepMillis(200);
    EXPECT_EQ(gRecorder.calls.load(), calls);
}

TEST_F(ManagerRun, SquareWindowGetsBlackBarsAndStudioRangeColours) {
    Window w = MakeWindow(50, 50, 1000, 1000, kWhite, "bars");
    TestWindow tw{display_, w};
    TestWindowFill(&tw, 334, 0, 333, 1000, kBlack);
    TestWindowFill(&tw, 667, 0, 333, 1000, kRed);
    CaptureVideoStart(manager_, &connection_, 0, w);
    ASSERT_TRUE(WaitForPictureSize(1280, 720));
    int calls = gRecorder.calls.load();
    ASSERT_TRUE(WaitForCalls(calls + 2));
    std::lock_guard<std::mutex> hold(gRecorder.lock);
    const std::vector<uint8_t> &Y = gRecorder.planes[0], &U = gRecorder.planes[1],
                               &V = gRecorder.planes[2];
    const int pw = 1280, cw = 640;
    // Scale 1000/720: 720 columns of picture, 280 black columns on each side.
    for (int row : {0, 360, 719}) {
        for (int col : {0, 100, 279, 1000, 1279}) {
            EXPECT_EQ(Y[(size_t)row * pw + col], 0) << row << "," << col;
            EXPECT_EQ(U[(size_t)(row / 2) * cw + col / 2], 128);
            EXPECT_EQ(V[(size_t)(row / 2) * cw + col / 2], 128);
        }
    }
    // Thirds of the window: white, black, red, sampled away from their borders.
    struct Expect {
        int col, y, u, v;
    } expects[] = {{280 + 120, 235, 128, 128}, {280 + 360, 16, 128, 128}, {280 + 600, 82, 90, 240}};
    for (const Expect &e : expects) {
        EXPECT_EQ(Y[(size_t)360 * pw + e.col], e.y) << e.col;
        EXPECT_EQ(U[(size_t)180 * cw + e.col / 2], e.u) << e.col;
        EXPECT_EQ(V[(size_t)180 * cw + e.col / 2], e.v) << e.col;
    }
}

// A still screen costs a picture now and then; a change, drawn or a move of the shown
// cursor, is taken at once rather than with the next still picture.
TEST_F(ManagerRun, StillScreenIsCapturedRarelyAndChangesAtOnce) {
    Window w = MakeWindow(200, 200, 400, 300, kRed, "changing");
    TestWindow tw{display_, w};
    int wx = 0, wy = 0;
    ASSERT_TRUE(TestWindowRootPosition(display_, w, &wx, &wy));
    Window root = DefaultRootWindow(display_);
    XWarpPointer(display_, 0, root, 0, 0, 0, 0, 1200, 1000);
    XSync(display_, False);
    CaptureVideoStart(manager_, &connection_, 0, 0);
    ASSERT_TRUE(WaitForPictureSize(960, 720));
    // The window's centre in the picture (1600x1200 scaled by 0.6).
    size_t at = (size_t)((wy + 150) * 6 / 10) * 960 + (size_t)((wx + 200) * 6 / 10);
    auto lumaAt = [&] {
        std::lock_guard<std::mutex> hold(gRecorder.lock);
        return gRecorder.planes[0].size() > at ? (int)gRecorder.planes[0][at] : -1;
    };
    ASSERT_TRUE(WaitUntil([&] { return lumaAt() == 82; }, 5000));

    // Still: pictures keep coming, at least one a second, far fewer than the 60 a second
    // allowed.
    int calls = gRecorder.calls.load();
    int64_t t0 = MonotonicNanos();
    ASSERT_TRUE(WaitForCalls(calls + 4, 6000));
    double seconds = (MonotonicNanos() - t0) / 1e9;
    EXPECT_GT(seconds, 1.0) << "4 pictures of a still screen";

    // Each change comes 30 ms after a still picture, once the capture thread has looked
    // for changes after that picture and gone back to waiting: the next still picture is
    // 0.5 s off, and a thread that looked again only every so often would be late.
    const unsigned long colours[] = {kWhite, kBlack, kWhite, kBlack, kWhite};
    const int luma[] = {235, 16, 235, 16, 235};
    std::vector<double> drawn;
    for (int i = 0; i < 5; i++) {
        ASSERT_TRUE(WaitForCalls(gRecorder.calls.load() + 1, 3000));
        SleepMillis(30); // places the change, waits for nothing
        int64_t at0 = MonotonicNanos();
        // Drawn as a client draws, in bands, without waiting for the server.
        GC gc = XCreateGC(display_, w, 0, nullptr);
        XSetForeground(display_, gc, colours[i]);
        XRectangle bands[10];
        for (int b = 0; b < 10; b++)
            bands[b] = XRectangle{0, (short)(b * 30), 400, 30};
        XFillRectangles(display_, w, gc, bands, 10);
        XFreeGC(display_, gc);
        XFlush(display_);
        ASSERT_TRUE(WaitUntil([&] { return lumaAt() == luma[i]; }, 3000)) << i;
        drawn.push_back((MonotonicNanos() - at0) / 1e6);
    }
    // The shown cursor: its moves raise no event, so the capture thread looks at it once a
    // frame interval; standing still it costs no pictures.
    manager_->showCursor.store(1);
    calls = gRecorder.calls.load();
    t0 = MonotonicNanos();
    ASSERT_TRUE(WaitForCalls(calls + 3, 6000));
    EXPECT_GT((MonotonicNanos() - t0) / 1e9, 0.5) << "3 pictures, still cursor shown";
    std::vector<double> moved;
    for (int i = 0; i < 5; i++) {
        int before = gRecorder.calls.load();
        ASSERT_TRUE(WaitForCalls(before + 1, 3000));
        SleepMillis(30);
        int64_t at0 = MonotonicNanos();
        XWarpPointer(display_, 0, root, 0, 0, 0, 0, 1200 + 40 * (i + 1), 1000);
        XSync(display_, False);
        ASSERT_TRUE(WaitForCalls(before + 2, 3000)) << i;
        moved.push_back((MonotonicNanos() - at0) / 1e6);
    }
    // One frame interval (17 ms) plus the scale, with room for a busy machine; a thread
    // looking every 100 ms would take about 80 ms here.
    for (std::vector<double> *latencies : {&drawn, &moved}) {
        std::string shown;
        for (double ms : *latencies)
            shown += std::to_string((int)ms) + " ";
        std::sort(latencies->begin(), latencies->end());
        EXPECT_LT((*latencies)[2], 45.0) << "latencies (ms): " << shown;
        EXPECT_LT(latencies->back(), 300.0) << "latencies (ms): " << shown;
    }
}

} // namespace
