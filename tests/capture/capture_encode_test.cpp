// A whole run with the H.264 encoder: what leaves the capture manager is length-prefixed
// NAL units with an avcC header of the picture size, for display and window runs.
// GoogleTest before Xlib: Xlib defines None and Bool as macros.
#include <gtest/gtest.h>

#include "capture/capture_manager.h"
#include "capture/displays.h"
#include "capture_x_env.h"
#include "video/frame_encoder.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace {

struct Received {
    std::mutex lock;
    std::vector<uint8_t> header;
    std::vector<uint8_t> lastFrame;
    void *connection = nullptr;
    std::atomic<int> frames{0};
    bool framingOk = true;
};
Received gReceived;

void OnFrame(void *connection, const uint8_t *header, uint64_t headerLength, const uint8_t *frame,
             uint64_t frameLength, int32_t, int32_t, int64_t) {
    std::lock_guard<std::mutex> hold(gReceived.lock);
    gReceived.header.assign(header, header + headerLength);
    gReceived.lastFrame.assign(frame, frame + frameLength);
    gReceived.connection = connection;
    // The picture is a sequence of 4-byte big-endian lengths, each followed by its unit.
    uint64_t pos = 0;
    while (pos + 4 <= frameLength) {
        uint64_t n = ((uint64_t)frame[pos] << 24) | (frame[pos + 1] << 16) | (frame[pos + 2] << 8) |
                     frame[pos + 3];
        if (n == 0) gReceived.framingOk = false;
        pos += 4 + n;
    }
    if (pos != frameLength) gReceived.framingOk = false;
    gReceived.frames++;
}

// Reads ue(v) Exp-Golomb codes from an SPS (emulation bytes removed first).
struct Bits {
    std::vector<uint8_t> data;
    size_t bit = 0;
    uint32_t Read(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; i++, bit++)
            v = (v << 1) | ((data[bit / 8] >> (7 - bit % 8)) & 1);
        return v;
    }
    uint32_t Ue() {
        int zeros = 0;
        while (Read(1) == 0 && zeros < 32)
            zeros++;
        return (1u << zeros) - 1 + Read(zeros);
    }
    int32_t Se() {
        uint32_t k = Ue();
        return (k & 1) ? (int32_t)((k + 1) / 2) : -(int32_t)(k / 2);
    }
};

// Width and height coded in the SPS of an avcC record (High profile, 4:2:0, frame coding).
bool SpsPictureSize(const std::vector<uint8_t> &avcc, int *width, int *height) {
    if (avcc.size() < 11 || avcc[0] != 1) return false;
    size_t spsLength = (avcc[6] << 8) | avcc[7];
    if (avcc.size() < 8 + spsLength) return false;
    Bits b;
    for (size_t i = 9; i < 8 + spsLength; i++) { // skip the NAL header and the three bytes after
        if (i >= 11 && avcc[i] == 3 && avcc[i - 1] == 0 && avcc[i - 2] == 0) continue;
        b.data.push_back(avcc[i]);
    }
    b.data.resize(b.data.size() + 8, 0);
    int profile = avcc[9];
    b.bit = 24; // profile, constraints, level
    b.Ue();     // seq_parameter_set_id
    if (profile == 100 || profile == 110 || profile == 122 || profile == 244) {
        uint32_t chroma = b.Ue();
        if (chroma == 3) b.Read(1);
        b.Ue();
        b.Ue();
        b.Read(1);
        if (b.Read(1)) return false; // scaling matrices: not produced here
    }
    b.Ue(); // log2_max_frame_num
    uint32_t pocType = b.Ue();
    if (pocType == 0) {
        b.Ue();
    } else if (pocType == 1) {
        b.Read(1);
        b.Se();
        b.Se();
        uint32_t n = b.Ue();
        for (uint32_t i = 0; i < n; i++)
            b.Se();
    }
    b.Ue();    // max_num_ref_frames
    b.Read(1); // gaps
    uint32_t mbWidth = b.Ue() + 1, mapHeight = b.Ue() + 1;
    uint32_t frameMbsOnly = b.Read(1);
    if (!frameMbsOnly) b.Read(1);
    b.Read(1); // direct_8x8
    int cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (b.Read(1)) {
        cropLeft = b.Ue();
        cropRight = b.Ue();
        cropTop = b.Ue();
        cropBottom = b.Ue();
    }
    *width = (int)mbWidth * 16 - 2 * (cropLeft + cropRight);
    *height = (int)((2 - frameMbsOnly) * mapHeight * 16) -
              2 * (2 - frameMbsOnly) * (cropTop + cropBottom);
    return true;
}

TEST(CaptureEncode, DisplayAndWindowRunsProduceFramesOfThePictureSize) {
    const TestXServer *server = CaptureTestServer();
    ASSERT_NE(server, nullptr);
    Display *display = CaptureTestDisplay();
    ASSERT_NE(display, nullptr);
    ASSERT_EQ(EnumerateDisplays(), 1);
    SetEncodedFrameHandler(OnFrame);

    CaptureManager *manager = CaptureManagerCreate(0.0, 1, 1, 0, 30);
    ASSERT_NE(manager, nullptr);
    CaptureSetReceiverSize(manager, 1280, 720);
    int connection = 0;
    CaptureVideoStart(manager, &connection, 0, 0);
    ASSERT_TRUE(WaitUntil([] { return gReceived.frames.load() >= 5; }, 20000));
    CaptureVideoStop(manager);
    {
        std::lock_guard<std::mutex> hold(gReceived.lock);
        EXPECT_TRUE(gReceived.framingOk);
        EXPECT_EQ(gReceived.connection, &connection);
        int w = 0, h = 0;
        ASSERT_TRUE(SpsPictureSize(gReceived.header, &w, &h));
        // 1600x1200 into 1280x720 keeps the aspect: 960x720.
        EXPECT_EQ(w, 960);
        EXPECT_EQ(h, 720);
    }

    // A window encodes at the target size.
    TestWindow tw{};
    ASSERT_TRUE(TestWindowCreate(display, &tw, 100, 100, 500, 300, 0x3366CC, "encoded", "Enc"));
    int before = gReceived.frames.load();
    CaptureVideoStart(manager, &connection, 0, tw.window);
    ASSERT_TRUE(WaitUntil([&] { return gReceived.frames.load() >= before + 5; }, 20000));
    CaptureVideoStop(manager);
    {
        std::lock_guard<std::mutex> hold(gReceived.lock);
        EXPECT_TRUE(gReceived.framingOk);
        int w = 0, h = 0;
        ASSERT_TRUE(SpsPictureSize(gReceived.header, &w, &h));
        EXPECT_EQ(w, 1280);
        EXPECT_EQ(h, 720);
    }
    SetEncodedFrameHandler(nullptr);
    CaptureManagerDestroy(manager);
    XDestroyWindow(display, tw.window);
    XSync(display, False);
}

} // namespace
