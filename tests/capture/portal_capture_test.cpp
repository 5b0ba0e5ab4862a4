// The ScreenCast portal session against a portal of the test's own on a private session
// bus (fake_portal.py): a stop ends every wait at once, and a retry starts a clean session.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "capture/ov_portal_capture.h"
#include "tests/support/child_process.h"
#include "tests/support/file_text.h"
#include "tests/support/wait.h"

namespace {

const std::string kFakePortal = std::string(CAPTURE_TEST_DIR) + "/fake_portal.py";

void WriteFileText(const std::string &path, const std::string &text) {
    std::ofstream(path) << text;
}

bool HasProgram(const char *name) {
    int code = -1;
    RunCommand(std::string("command -v ") + name + " >/dev/null 2>&1", &code);
    return code == 0;
}

class PortalCaptureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int code = -1;
        RunCommand("/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null", &code);
        if (!HasProgram("dbus-daemon") || code != 0)
            GTEST_SKIP() << "needs dbus-daemon and python3-dbus/python3-gi";
        char pattern[] = "/tmp/ostrel-portal-XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        dir_ = pattern;
        run_ = dir_ + "/run";
        ASSERT_EQ(0, mkdir(run_.c_str(), 0700));
        // No service folders: nothing can start a real portal on this bus.
        std::string config = dir_ + "/bus.conf";
        WriteFileText(config,
                      "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                      "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/"
                      "busconfig.dtd\">\n<busconfig><type>session</type><listen>unix:path=" +
                          run_ + "/bus</listen><policy context=\"default\"><allow "
                                 "send_destination=\"*\" eavesdrop=\"true\"/><allow "
                                 "eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
        busPid_ = SpawnChild({"dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile"},
                             {"/dev/null", dir_ + "/dbus.log"});
        ASSERT_GT(busPid_, 0);
        ASSERT_TRUE(WaitUntil([&] { return access((run_ + "/bus").c_str(), F_OK) == 0; }, 10000));
        setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + run_ + "/bus").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", run_.c_str(), 1);
    }

    void TearDown() override {
        // Stopped newest first, so the bus outlives its clients.
        for (auto it = children_.rbegin(); it != children_.rend(); ++it)
            EndChild(*it, SIGTERM, 3000);
        if (busPid_ > 0) EndChild(busPid_, SIGTERM, 3000);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        if (!dir_.empty()) RunCommand("rm -rf '" + dir_ + "'");
    }

    pid_t Start(const std::vector<std::string> &argv, const std::string &log) {
        pid_t pid = SpawnChild(argv, {dir_ + "/" + log, dir_ + "/" + log});
        if (pid > 0) children_.push_back(pid);
        return pid;
    }

    // Starts the portal in mode and waits until it owns the portal's name.
    bool StartPortal(const std::string &mode, const std::string &node = "0") {
        portalLog_ = "portal-" + mode + ".log";
        portalPid_ = Start({"/usr/bin/python3", kFakePortal, mode, node}, portalLog_);
        return portalPid_ > 0 && WaitUntil([&] { return PortalSaid("ready"); }, 15000);
    }

    bool PortalSaid(const std::string &line) {
        return ReadFileText(dir_ + "/" + portalLog_).find(line + "\n") != std::string::npos;
    }

    // PipeWire, WirePlumber and a GStreamer source of 160x120 BGRx pictures; *node is the
    // source's node.
    void StartVideoSource(const std::string &pattern, std::string *node) {
        for (const char *tool : {"pipewire", "wireplumber", "gst-launch-1.0", "pw-cli"})
            if (!HasProgram(tool)) GTEST_SKIP() << "needs " << tool;
        setenv("HOME", dir_.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
        setenv("XDG_STATE_HOME", (dir_ + "/state").c_str(), 1);
        ASSERT_GT(Start({"pipewire"}, "pipewire.log"), 0);
        ASSERT_TRUE(
            WaitUntil([&] { return access((run_ + "/pipewire-0").c_str(), F_OK) == 0; }, 15000));
        ASSERT_GT(Start({"wireplumber"}, "wireplumber.log"), 0);
        ASSERT_TRUE(WaitUntil(
            [&] {
                return RunCommand("pw-cli ls Client 2>/dev/null").find("WirePlumber") !=
                       std::string::npos;
            },
            15000));
        ASSERT_GT(Start({"gst-launch-1.0", "-q", "videotestsrc", "is-live=true",
                         "pattern=" + pattern, "!",
                         "video/x-raw,format=BGRx,width=160,height=120,framerate=30/1", "!",
                         "pipewiresink", "mode=provide",
                         "stream-properties=props,media.class=Video/Source,node.name=ostrel-test-"
                         "source"},
                        "source.log"),
                  0);
        ASSERT_TRUE(WaitUntil(
            [&] {
                *node = RunCommand("pw-cli ls Node 2>/dev/null | awk '/^\\tid /{id=$2} "
                                   "/node.name = \"ostrel-test-source\"/{sub(\",\",\"\",id); "
                                   "print id}'");
                while (!node->empty() && node->back() == '\n')
                    node->pop_back();
                return !node->empty();
            },
            15000))
            << "the test source did not appear";
    }

    void EndPortal() {
        EndChild(portalPid_, SIGTERM, 3000);
        children_.pop_back();
    }

    std::string dir_, run_, portalLog_;
    pid_t busPid_ = -1, portalPid_ = -1;
    std::vector<pid_t> children_;
};

struct OpenRun {
    std::atomic<int> keepGoing{1};
    std::atomic<int> done{0};
    PortalCapture *capture = nullptr;
    std::string reason;
};

int RunKeepsGoing(void *context) {
    return static_cast<OpenRun *>(context)->keepGoing.load();
}

PortalCaptureOptions OptionsFor(OpenRun *run, const std::string &tokenPath) {
    PortalCaptureOptions options{};
    options.cursorMode = kPortalCursorEmbedded;
    options.sourceType = kPortalSourceMonitor;
    options.streamIndex = 0;
    options.tokenPath = tokenPath;
    options.keepGoing = RunKeepsGoing;
    options.context = run;
    return options;
}

// A portal that stops answering at any step: the stop is answered within a second, also
// when closing the half-made session meets a portal that answers nothing.
TEST_F(PortalCaptureTest, AStopEndsEveryPortalWaitWithinASecond) {
    struct Case {
        const char *mode;
        const char *stalledAt; // the portal's line once the wait has begun
    } cases[] = {
        {"stall-version", "Get version"},
        {"stall-call", "CreateSession"},
        {"stall-start", "Start 1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        ASSERT_TRUE(StartPortal(c.mode)) << "the fake portal did not start";
        OpenRun run;
        PortalCaptureOptions options = OptionsFor(&run, "");
        std::thread opener([&] {
            run.capture = PortalCaptureOpen(&options, &run.reason);
            run.done.store(1);
        });
        ASSERT_TRUE(WaitUntil([&] { return PortalSaid(c.stalledAt); }, 10000));
        // Still waiting: the portal has not answered.
        EXPECT_EQ(0, run.done.load());
        auto stopped = std::chrono::steady_clock::now();
        run.keepGoing.store(0);
        bool ended = WaitUntil([&] { return run.done.load() != 0; }, 30000);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - stopped)
                      .count();
        opener.join();
        ASSERT_TRUE(ended);
        EXPECT_LT(ms, 1000) << "the stop waited on the portal";
        EXPECT_EQ(nullptr, run.capture);
        EXPECT_NE(std::string::npos, run.reason.find("stopped while waiting")) << run.reason;
        PortalCaptureClose(run.capture);
        EndPortal();
    }
}

// A kept permission the portal refuses (closing that session, as some portals do) is asked
// again; the granted second session streams and is not taken for closed.
TEST_F(PortalCaptureTest, RetryAfterARefusedPermissionStartsAFreshSession) {
    std::string node;
    StartVideoSource("smpte", &node);
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(StartPortal("refuse-then-approve", node));

    std::string token = dir_ + "/ScreenCastToken";
    WriteFileText(token, "kept-token\n");
    OpenRun run;
    PortalCaptureOptions options = OptionsFor(&run, token);
    run.capture = PortalCaptureOpen(&options, &run.reason);
    ASSERT_NE(nullptr, run.capture) << run.reason;
    EXPECT_TRUE(PortalSaid("SelectSources restore_token=kept-token"));
    EXPECT_TRUE(PortalSaid("Start 2")) << "the refused permission was not asked again";
    EXPECT_EQ("fresh-token\n", ReadFileText(token));
    // The first session's Closed signal does not end the granted one, and its frames come.
    std::string reason;
    std::vector<uint8_t> slot(160 * 120 * 4);
    uint64_t frame = 0;
    int32_t redFirst = 0;
    bool copied = WaitUntil(
        [&] {
            if (PortalCapturePoll(run.capture, &reason) != 1) return true;
            return PortalCaptureCopy(run.capture, slot.data(), 160, 120, &frame, &redFirst) == 1;
        },
        15000);
    EXPECT_EQ(1, PortalCapturePoll(run.capture, &reason)) << reason;
    EXPECT_TRUE(copied && frame > 0) << "no frame from the granted session";
    PortalCaptureClose(run.capture);
}

// A frame lent to be read in place keeps its pixels while newer frames come (its buffer
// is not given back to the producer, which goes on drawing into the others), and the
// stream goes on after it is released. The lending is kept shorter than the producer's
// pool: this one draws into its buffers in turn and would wait for the lent one.
TEST_F(PortalCaptureTest, ALentFrameKeepsItsPixelsWhileNewerFramesCome) {
    std::string node;
    StartVideoSource("ball", &node);
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(StartPortal("refuse-then-approve", node));
    std::string token = dir_ + "/ScreenCastToken";
    WriteFileText(token, "kept-token\n"); // the refused first session is then asked again
    OpenRun run;
    PortalCaptureOptions options = OptionsFor(&run, token);
    run.capture = PortalCaptureOpen(&options, &run.reason);
    ASSERT_NE(nullptr, run.capture) << run.reason;

    std::string reason;
    uint64_t lent = 0;
    int32_t redFirst = -1;
    ASSERT_TRUE(WaitUntil(
        [&] {
            PortalCapturePoll(run.capture, &reason);
            return PortalCaptureLend(run.capture, 160, 120, &lent, &redFirst) == 1;
        },
        15000))
        << "no frame to lend";
    EXPECT_EQ(0, redFirst);
    const uint8_t *pixels = PortalCaptureBeginRead(run.capture, lent);
    ASSERT_NE(nullptr, pixels);
    std::vector<uint8_t> atLending(pixels, pixels + 160 * 120 * 4);
    // Newer frames come, and the newest differs from the lent one (the ball moves)...
    std::vector<uint8_t> newest(160 * 120 * 4);
    uint64_t newestFrame = 0;
    int frames = 0;
    bool moved = WaitUntil(
        [&] {
            if (PortalCaptureWaitForFrame(run.capture, 100)) frames++;
            PortalCaptureTakeChanges(run.capture);
            PortalCapturePoll(run.capture, &reason);
            return frames >= 3 &&
                   PortalCaptureCopy(run.capture, newest.data(), 160, 120, &newestFrame,
                                     &redFirst) == 1 &&
                   newest != atLending;
        },
        15000);
    EXPECT_TRUE(moved) << frames << " frames came while one was lent";
    // ...while the lent one still shows what it showed when lent.
    EXPECT_EQ(0, memcmp(pixels, atLending.data(), atLending.size()))
        << "the lent frame's buffer was drawn into while lent";
    PortalCaptureRelease(run.capture, lent);
    frames = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
            if (PortalCaptureWaitForFrame(run.capture, 100)) frames++;
            PortalCaptureTakeChanges(run.capture);
            return frames >= 30;
        },
        15000))
        << "the stream stopped after the lent frame was released (" << frames << " frames)";
    EXPECT_EQ(1, PortalCapturePoll(run.capture, &reason)) << reason;
    PortalCaptureClose(run.capture);
}

} // namespace
