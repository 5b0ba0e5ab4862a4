// The capture -> scale -> encode pipeline, driven by a test capture thread and a recording
// encoder.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "test_pictures.h"
#include "video/capture_buffers.h"
#include "video/frame_encoder.h"
#include "video/scale_convert.h"

namespace {

// Records what reaches the encoder; can be made to block inside encode.
struct Recorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<int> topLuma;    // Y of the picture's first pixel, per encode call
    std::vector<int> bottomLuma; // Y of the last row's first pixel
    std::vector<int64_t> captureNanos; // the capture time handed to the encoder, per call
    int pictureWidth = 0, pictureHeight = 0;
    int failOnCall = -1; // this call returns EncoderResultEncodeFailed
    bool keepPictures = false;
    std::vector<std::vector<uint8_t>> pictures; // Y, U, V of each call when keepPictures
    bool gateClosed = false;
    int insideEncode = 0;
};

int RecordingEncode(FrameEncoder *encoder, uint8_t *const *picture, int, void *connection) {
    auto *recorder = static_cast<Recorder *>(connection);
    std::unique_lock<std::mutex> hold(recorder->lock);
    recorder->insideEncode++;
    recorder->changed.notify_all();
    recorder->changed.wait(hold, [&] { return !recorder->gateClosed; });
    recorder->insideEncode--;
    recorder->captureNanos.push_back(encoder->captureNanos);
    recorder->topLuma.push_back(picture[0][0]);
    recorder->bottomLuma.push_back(
        picture[0][(recorder->pictureHeight - 1) * recorder->pictureWidth]);
    if (recorder->keepPictures) {
        size_t luma = static_cast<size_t>(recorder->pictureWidth) * recorder->pictureHeight;
        size_t chroma = luma / 4;
        std::vector<uint8_t> copy(picture[0], picture[0] + luma);
        copy.insert(copy.end(), picture[1], picture[1] + chroma);
        copy.insert(copy.end(), picture[2], picture[2] + chroma);
        recorder->pictures.push_back(std::move(copy));
    }
    int call = static_cast<int>(recorder->topLuma.size()) - 1;
    recorder->changed.notify_all();
    return call == recorder->failOnCall ? EncoderResultEncodeFailed : EncoderResultOk;
}
int NoOp(FrameEncoder *) {
    return 0;
}

struct Owner {
    FrameEncoder encoder{};
    Recorder recorder;
    std::mutex lock;
    std::vector<int> results;
    std::vector<std::string> statusLines;
};

FrameEncoder *OwnerEncoder(void *owner) {
    return &static_cast<Owner *>(owner)->encoder;
}
void *OwnerConnection(void *owner) {
    return &static_cast<Owner *>(owner)->recorder;
}
double OwnerMaxFps(void *) {
    return 30.0;
}
void OwnerSetResult(void *owner, int result) {
    auto *self = static_cast<Owner *>(owner);
    std::lock_guard<std::mutex> hold(self->lock);
    self->results.push_back(result);
}
void OwnerStatus(void *owner, const char *text) {
    auto *self = static_cast<Owner *>(owner);
    std::lock_guard<std::mutex> hold(self->lock);
    self->statusLines.emplace_back(text);
}

const CaptureBuffersOwnerOps kOwnerOps = {OwnerEncoder, OwnerConnection, OwnerMaxFps,
                                          OwnerSetResult, OwnerStatus};

void PrepareOwner(Owner *owner, int pictureWidth, int pictureHeight) {
    owner->encoder.kind = 99;
    owner->encoder.encode = RecordingEncode;
    owner->encoder.init = NoOp;
    owner->encoder.close = NoOp;
    owner->recorder.pictureWidth = pictureWidth;
    owner->recorder.pictureHeight = pictureHeight;
}

int GreyLuma(int grey) {
    return ((220 * grey + 128) >> 8) + 16;
}

// Fills one capture slot the way the capture thread does. Returns false once stopping.
// taken, when given, receives the monotonic time just after the slot was had.
// contentAge dates the slot's content that much earlier.
bool CaptureOne(CaptureBuffers *buffers, const std::vector<uint8_t> &image, int bottomUp,
                int64_t *taken = nullptr, int64_t contentAge = 0) {
    int slot = CaptureBuffersTakeForFilling(buffers, CapturePair);
    if (slot < 0) return false;
    if (taken) *taken = MonotonicNanos();
    CaptureBuffersSetContentAge(buffers, slot, contentAge);
    buffers->bottomUp.store(bottomUp);
    memcpy(buffers->captureSlots[slot], image.data(), image.size());
    CaptureBuffersGiveBack(buffers, CapturePair, slot);
    CaptureBuffersAddCaptureTime(buffers, 0.001);
    return true;
}

// Waits (bounded) until the recorder has seen count pictures.
bool WaitForPictures(Recorder *recorder, size_t count) {
    std::unique_lock<std::mutex> hold(recorder->lock);
    return recorder->changed.wait_for(hold, std::chrono::seconds(20),
                                      [&] { return recorder->topLuma.size() >= count; });
}

class CaptureBuffersPaths : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        if (GetParam() == 1 && !ProbeCpuFeatures()) GTEST_SKIP() << "no SSSE3";
    }
};

TEST_P(CaptureBuffersPaths, EveryFrameIsEncodedOnceInOrder) {
    Owner owner;
    PrepareOwner(&owner, 32, 24);
    owner.recorder.failOnCall = 5;
    CaptureBuffers *buffers = CaptureBuffersCreate(64, 48, 32, 24, GetParam(), &kOwnerOps, &owner);
    ASSERT_NE(buffers, nullptr);
    const int frames = 45;
    std::vector<int> expected;
    std::vector<int64_t> before, after; // around each slot's taking
    for (int i = 0; i < frames; i++) {
        int grey = 20 + (i * 37) % 200;
        std::vector<uint8_t> image = SolidBgrx(64, 48, grey, grey, grey);
        before.push_back(MonotonicNanos());
        int64_t taken = 0;
        ASSERT_TRUE(CaptureOne(buffers, image, 0, &taken, i % 3 == 0 ? 0 : 1000000ll * i));
        after.push_back(taken);
        expected.push_back(GreyLuma(grey));
    }
    ASSERT_TRUE(WaitForPictures(&owner.recorder, frames));
    CaptureBuffersDestroy(buffers);

    EXPECT_EQ(owner.recorder.topLuma, expected) << "no frame skipped, repeated or reordered";
    // Each picture reaches the encoder with the time its own capture began, less the
    // content's age where one was given.
    ASSERT_EQ(owner.recorder.captureNanos.size(), static_cast<size_t>(frames));
    for (int i = 0; i < frames; i++) {
        int64_t age = i % 3 == 0 ? 0 : 1000000ll * i;
        EXPECT_GE(owner.recorder.captureNanos[i], before[i] - age) << i;
        EXPECT_LE(owner.recorder.captureNanos[i], after[i] - age) << i;
    }
    EXPECT_EQ(owner.encoder.framesEncoded, frames);
    ASSERT_EQ(owner.results.size(), static_cast<size_t>(frames));
    EXPECT_EQ(owner.results[4], EncoderResultOk);
    EXPECT_EQ(owner.results[5], EncoderResultEncodeFailed) << "results reach the owner";
    // One status line per 20 pictures, stage rates as pictures per second.
    ASSERT_EQ(owner.statusLines.size(), 2u);
    double target = 0, capture = 0, scale = 0, encode = 0;
    char rest = 0;
    ASSERT_EQ(sscanf(owner.statusLines[0].c_str(), "FPS-tgt: %lf cap:%lf scl:%lf enc:%lf%c",
                     &target, &capture, &scale, &encode, &rest),
              4)
        << owner.statusLines[0];
    EXPECT_EQ(target, 30.0);
    // The test adds 1 ms per capture, so the capture rate is about 1000 per second.
    EXPECT_GT(capture, 900.0);
    EXPECT_LT(capture, 1100.0);
    EXPECT_GT(scale, 0.0);
    EXPECT_GT(encode, 0.0);
}

TEST_P(CaptureBuffersPaths, BottomUpFramesComeOutUpright) {
    Owner owner;
    PrepareOwner(&owner, 40, 30);
    // Top half white, bottom half black, stored bottom row first.
    std::vector<uint8_t> upright = SolidBgrx(40, 30, 0, 0, 0);
    memset(upright.data(), 255, upright.size() / 2);
    std::vector<uint8_t> stored = FlipRows(upright, 40, 30);
    CaptureBuffers *buffers = CaptureBuffersCreate(40, 30, 40, 30, GetParam(), &kOwnerOps, &owner);
    ASSERT_NE(buffers, nullptr);
    EXPECT_EQ(buffers->bottomUp.load(), 1) << "new buffers expect bottom-up rows";
    ASSERT_TRUE(CaptureOne(buffers, stored, 1));
    ASSERT_TRUE(CaptureOne(buffers, upright, 0));
    ASSERT_TRUE(WaitForPictures(&owner.recorder, 2));
    CaptureBuffersDestroy(buffers);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(owner.recorder.topLuma[i], 235) << i;
        EXPECT_EQ(owner.recorder.bottomLuma[i], 16) << i;
    }
}

// Captures that refresh only the rows a change needs, converted one changed area at a
// time into two picture slots used in any order, give the encoder exactly the pictures a
// whole conversion of each screen gives.
TEST(CaptureBuffers, ChangedAreasAloneBuildTheWholePictures) {
    if (!ProbeCpuFeatures()) GTEST_SKIP() << "no SSSE3";
    const int sw = 192, sh = 108, pw = 128, ph = 72;
    Owner owner;
    PrepareOwner(&owner, pw, ph);
    owner.recorder.keepPictures = true;
    CaptureBuffers *buffers = CaptureBuffersCreate(sw, sh, pw, ph, 1, &kOwnerOps, &owner);
    ASSERT_NE(buffers, nullptr);
    std::vector<uint8_t> screen = ScreenLikeBgrx(sw, sh);
    std::vector<std::vector<uint8_t>> expected;
    uint32_t seed = 11;
    auto next = [&seed](int range) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<int>((seed >> 8) % static_cast<uint32_t>(range));
    };
    const int frames = 60;
    for (int i = 0; i < frames; i++) {
        // Bursts while the encoder is held, so both picture slots fall behind in turn.
        // Held only once the pipeline is empty: three pictures then fill it.
        if (i % 5 == 1) {
            ASSERT_TRUE(WaitForPictures(&owner.recorder, i));
        }
        if (i % 5 == 1 || i % 5 == 4) {
            std::lock_guard<std::mutex> hold(owner.recorder.lock);
            owner.recorder.gateClosed = i % 5 == 1;
            owner.recorder.changed.notify_all();
        }
        PixelArea changed{0, 0, 0, 0};
        if (i > 0 && i % 9 != 0) {
            changed.left = next(sw);
            changed.top = next(sh);
            changed.right = changed.left + 1 + next(sw / 2);
            changed.bottom = changed.top + 1 + next(sh / 2);
            if (changed.right > sw) changed.right = sw;
            if (changed.bottom > sh) changed.bottom = sh;
            std::vector<uint8_t> noise = RandomBgrx(sw, sh, seed);
            if (i % 7 == 3) changed.right = changed.left; // nothing changed: the same picture
            for (int y = changed.top; y < changed.bottom; y++) {
                size_t at = (static_cast<size_t>(y) * sw + changed.left) * 4;
                size_t bytes = static_cast<size_t>(changed.right - changed.left) * 4;
                memcpy(&screen[at], &noise[at], bytes);
            }
        }
        int slot = CaptureBuffersTakeForFilling(buffers, CapturePair);
        ASSERT_GE(slot, 0);
        buffers->bottomUp.store(0);
        int32_t first = 0, end = sh;
        // Every ninth capture is read whole, as after a still period.
        if (i % 9 != 0) CaptureBuffersSetChange(buffers, slot, changed, &first, &end);
        size_t row = static_cast<size_t>(sw) * 4;
        memcpy(buffers->captureSlots[slot] + first * row, screen.data() + first * row,
               (end - first) * row);
        CaptureBuffersGiveBack(buffers, CapturePair, slot);

        I420Picture whole;
        I420Allocate(&whole, pw, ph, 0);
        ScaleConvertSsse3(screen.data(), sw, sh, whole.planes, pw, ph, 0);
        std::vector<uint8_t> planes = whole.y;
        planes.insert(planes.end(), whole.u.begin(), whole.u.end());
        planes.insert(planes.end(), whole.v.begin(), whole.v.end());
        expected.push_back(std::move(planes));
    }
    {
        std::lock_guard<std::mutex> hold(owner.recorder.lock);
        owner.recorder.gateClosed = false;
        owner.recorder.changed.notify_all();
    }
    ASSERT_TRUE(WaitForPictures(&owner.recorder, frames));
    CaptureBuffersDestroy(buffers);
    ASSERT_EQ(owner.recorder.pictures.size(), static_cast<size_t>(frames));
    for (int i = 0; i < frames; i++)
        EXPECT_TRUE(owner.recorder.pictures[i] == expected[i]) << "picture " << i;
}

INSTANTIATE_TEST_SUITE_P(Scaling, CaptureBuffersPaths, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return info.param ? std::string("Ssse3") : std::string("Portable");
                         });

int ThreadCount() {
    int count = 0;
    DIR *tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return -1;
    while (dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] != '.') count++;
    }
    closedir(tasks);
    return count;
}

// Waits (up to ten seconds) until every thread named name sleeps in the kernel, so a test
// measures a wake-up from a real wait rather than a thread still on its way there.
bool WaitUntilSleeping(const char *name, int expected) {
    double deadline = MonotonicSeconds() + 10;
    while (MonotonicSeconds() < deadline) {
        int sleeping = 0;
        DIR *tasks = opendir("/proc/self/task");
        if (tasks == nullptr) return false;
        while (dirent *entry = readdir(tasks)) {
            if (entry->d_name[0] == '.') continue;
            std::string base = std::string("/proc/self/task/") + entry->d_name;
            char comm[32] = {}, stat[512] = {};
            FILE *f = fopen((base + "/comm").c_str(), "r");
            if (f == nullptr) continue;
            bool named = fgets(comm, sizeof comm, f) != nullptr &&
                         strncmp(comm, name, strlen(name)) == 0 && comm[strlen(name)] == '\n';
            fclose(f);
            if (!named || (f = fopen((base + "/stat").c_str(), "r")) == nullptr) continue;
            size_t got = fread(stat, 1, sizeof stat - 1, f);
            fclose(f);
            const char *close = strrchr(stat, ')'); // the state follows the command name
            if (got > 0 && close != nullptr && close[1] == ' ' && close[2] == 'S') sleeping++;
        }
        closedir(tasks);
        if (sleeping == expected) return true;
        SleepMillis(5);
    }
    return false;
}

TEST(CaptureBuffers, DestroyWhileEveryStageWaitsReturnsPromptlyAndJoinsBothThreads) {
    Owner owner;
    PrepareOwner(&owner, 32, 24);
    int before = ThreadCount();
    CaptureBuffers *buffers = CaptureBuffersCreate(64, 48, 32, 24, 0, &kOwnerOps, &owner);
    ASSERT_NE(buffers, nullptr);
    EXPECT_EQ(ThreadCount(), before + 2);
    ASSERT_TRUE(WaitUntilSleeping("Scale Thread", 1));
    ASSERT_TRUE(WaitUntilSleeping("Encode Thread", 1));
    double start = MonotonicSeconds();
    CaptureBuffersDestroy(buffers);
    EXPECT_LT(MonotonicSeconds() - start, 0.5);
    EXPECT_EQ(ThreadCount(), before);
    EXPECT_TRUE(owner.recorder.topLuma.empty());
}

TEST(CaptureBuffers, StopReleasesACaptureThreadBlockedOnAFullPipeline) {
    Owner owner;
    PrepareOwner(&owner, 32, 24);
    owner.recorder.gateClosed = true; // the encoder holds on to its first picture
    CaptureBuffers *buffers = CaptureBuffersCreate(32, 24, 32, 24, 0, &kOwnerOps, &owner);
    ASSERT_NE(buffers, nullptr);
    std::vector<uint8_t> image = SolidBgrx(32, 24, 90, 90, 90);
    std::atomic<int> captured{0};
    std::atomic<double> returnedAt{0};
    std::thread capture([&] {
        // Bounded: the pipeline holds at most five frames (one encoding, one ready picture,
        // one being scaled, two capture slots), so this blocks well before the end.
        for (int i = 0; i < 50; i++) {
            if (!CaptureOne(buffers, image, 0)) break;
            captured++;
        }
        returnedAt.store(MonotonicSeconds());
    });
    {
        std::unique_lock<std::mutex> hold(owner.recorder.lock);
        ASSERT_TRUE(owner.recorder.changed.wait_for(
            hold, std::chrono::seconds(10), [&] { return owner.recorder.insideEncode == 1; }));
    }
    // The pipeline fills behind the held picture; once the capture thread sleeps it is
    // blocked, and the count must stay within what the slots can hold.
    double deadline = MonotonicSeconds() + 10;
    while (captured.load() < 3 && MonotonicSeconds() < deadline)
        SleepMillis(5);
    ASSERT_GE(captured.load(), 3);
    // Give a runaway capture thread the chance to show itself: stop looking once the count
    // has not moved for 100 ms (a slow machine only lowers the count).
    int before = captured.load();
    for (int still = 0; still < 20 && returnedAt.load() == 0; still++) {
        SleepMillis(5);
        if (captured.load() != before) still = 0, before = captured.load();
    }
    EXPECT_LE(before, 5) << "the capture thread must block on a full pipeline";
    double stopAt = MonotonicSeconds();
    CaptureBuffersStop(buffers);
    capture.join();
    EXPECT_LT(returnedAt.load() - stopAt, 0.5);
    EXPECT_EQ(captured.load(), before) << "no frame is taken after the stop";
    {
        std::lock_guard<std::mutex> hold(owner.recorder.lock);
        owner.recorder.gateClosed = false;
        owner.recorder.changed.notify_all();
    }
    double destroyAt = MonotonicSeconds();
    CaptureBuffersDestroy(buffers);
    EXPECT_LT(MonotonicSeconds() - destroyAt, 0.5);
    EXPECT_EQ(owner.recorder.topLuma.size(), 1u) << "nothing is encoded after the stop";
}

TEST(CaptureBuffers, RefusesUnusableSizesAndIncompleteOwners) {
    Owner owner;
    EXPECT_EQ(CaptureBuffersCreate(0, 48, 32, 24, 0, &kOwnerOps, &owner), nullptr);
    EXPECT_EQ(CaptureBuffersCreate(64, 48, 32, -2, 0, &kOwnerOps, &owner), nullptr);
    EXPECT_EQ(CaptureBuffersCreate(100000, 48, 32, 24, 0, &kOwnerOps, &owner), nullptr);
    CaptureBuffersOwnerOps partial = kOwnerOps;
    partial.onStatusText = nullptr;
    EXPECT_EQ(CaptureBuffersCreate(64, 48, 32, 24, 0, &partial, &owner), nullptr);
    EXPECT_EQ(CaptureBuffersCreate(64, 48, 32, 24, 0, nullptr, &owner), nullptr);
}

TEST(CaptureBuffers, SlotsAreTakenLowestFirstAndStatesFollowTheCycle) {
    Owner owner;
    PrepareOwner(&owner, 16, 16);
    owner.recorder.gateClosed = true;
    CaptureBuffers *buffers = CaptureBuffersCreate(16, 16, 16, 16, 0, &kOwnerOps, &owner);
    ASSERT_NE(buffers, nullptr);
    int first = CaptureBuffersTakeForFilling(buffers, CapturePair);
    int second = CaptureBuffersTakeForFilling(buffers, CapturePair);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
    {
        std::lock_guard<std::mutex> hold(buffers->slotLock);
        EXPECT_EQ(buffers->captureState[0], SlotFilling);
        EXPECT_EQ(buffers->captureState[1], SlotFilling);
    }
    // Hand slot 1 on first: the scale thread takes it, and slot 0 is still filling.
    CaptureBuffersGiveBack(buffers, CapturePair, 1);
    {
        std::unique_lock<std::mutex> hold(owner.recorder.lock);
        ASSERT_TRUE(owner.recorder.changed.wait_for(
            hold, std::chrono::seconds(10), [&] { return owner.recorder.insideEncode == 1; }));
    }
    {
        std::lock_guard<std::mutex> hold(buffers->slotLock);
        EXPECT_EQ(buffers->captureState[1], SlotFree) << "scaled and handed back";
        EXPECT_EQ(buffers->captureState[0], SlotFilling);
        EXPECT_EQ(buffers->pictureState[0], SlotReading) << "the encoder holds picture slot 0";
    }
    CaptureBuffersGiveBack(buffers, CapturePair, 0);
    CaptureBuffersStop(buffers);
    {
        std::lock_guard<std::mutex> hold(owner.recorder.lock);
        owner.recorder.gateClosed = false;
        owner.recorder.changed.notify_all();
    }
    CaptureBuffersDestroy(buffers);
}

TEST(PipelineStatus, ShowsEachStagesPicturesPerSecond) {
    char text[kStatusTextSize];
    int length = FormatPipelineStatus(text, sizeof text, 30, 20, 0.5, 20, 0.25, 20, 1.0);
    EXPECT_STREQ(text, "FPS-tgt: 30 cap:40.0 scl:80.0 enc:20.0");
    EXPECT_EQ(length, static_cast<int>(strlen(text)));
    FormatPipelineStatus(text, sizeof text, 60, 0, 0.0, 20, 0.1, 20, 0.2);
    EXPECT_STREQ(text, "FPS-tgt: 60 cap:0.0 scl:200.0 enc:100.0") << "no capture time, no division";
    char small[12];
    EXPECT_EQ(FormatPipelineStatus(small, sizeof small, 30, 20, 0.5, 20, 0.25, 20, 1.0), 11);
    EXPECT_STREQ(small, "FPS-tgt: 30");
}

} // namespace
