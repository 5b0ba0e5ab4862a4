// ostrel-avsync under a private X server and sound server: the flash must show on the
// screen when the click comes out of the sink's monitor, as a screen and sound capture
// would see them.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "tests/receiver/test_support.h"

namespace {

double Monotonic() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

struct Children {
    std::vector<pid_t> pids;
    std::string dir;
    ~Children() {
        for (auto it = pids.rbegin(); it != pids.rend(); ++it)
            EndChild(*it);
        if (dir.rfind("/tmp/ostrel-avsync-", 0) == 0) RunCommand("rm -rf '" + dir + "'");
    }
};

TEST(AvSyncTool, FlashShowsWhenTheClickLeavesTheSink) {
    int code = 0;
    RunCommand("command -v Xvfb && command -v pulseaudio && command -v parec", &code);
    if (code != 0) GTEST_SKIP() << "Xvfb, pulseaudio or parec missing";
    Children children;
    char pattern[] = "/tmp/ostrel-avsync-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    children.dir = pattern;
    std::string runtime = "XDG_RUNTIME_DIR=" + children.dir;

    int displayFd = -1;
    pid_t x =
        SpawnChild({"Xvfb", "-displayfd", "1", "-screen", "0", "320x240x24", "-nolisten", "tcp"},
                   {.err = children.dir + "/xvfb.log", .outPipe = &displayFd});
    ASSERT_GT(x, 0);
    children.pids.push_back(x);
    std::string number;
    for (double deadline = Monotonic() + 10;
         Monotonic() < deadline && number.find('\n') == std::string::npos;) {
        char buffer[16];
        ssize_t n = read(displayFd, buffer, sizeof buffer);
        if (n > 0)
            number.append(buffer, (size_t)n);
        else
            usleep(10000);
    }
    close(displayFd);
    ASSERT_NE(number.find('\n'), std::string::npos) << "Xvfb gave no display";
    std::string display = ":" + number.substr(0, number.find('\n'));

    std::string pulseLog = children.dir + "/pulse.log";
    pid_t pulse = SpawnChild(
        {"env", runtime, "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/no-bus", "pulseaudio",
         "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "-L",
         "module-native-protocol-unix", "-L", "module-null-sink sink_name=test_sink"},
        {.out = pulseLog, .err = pulseLog});
    ASSERT_GT(pulse, 0);
    children.pids.push_back(pulse);
    bool ready = false;
    for (double deadline = Monotonic() + 10; !ready && Monotonic() < deadline; usleep(50000)) {
        RunCommand("env " + runtime + " pactl info >/dev/null 2>&1", &code);
        ready = code == 0;
    }
    ASSERT_TRUE(ready) << ReadFileText(children.dir + "/pulse.log");

    int soundFd = -1;
    pid_t recorder = SpawnChild({"env", runtime, "parec", "-d", "test_sink.monitor", "--rate=44100",
                                 "--channels=2", "--format=s16le", "--latency-msec=5"},
                                {.err = children.dir + "/parec.log", .outPipe = &soundFd});
    ASSERT_GT(recorder, 0);
    children.pids.push_back(recorder);
    Display *x11 = XOpenDisplay(display.c_str());
    ASSERT_NE(x11, nullptr);
    Window root = DefaultRootWindow(x11);
    // The monitor's first data comes late from an idle sink: start the tool only once the
    // recorder hears the sink, so that the first click is not lost.
    bool hearing = false;
    for (double deadline = Monotonic() + 10; !hearing && Monotonic() < deadline;) {
        uint8_t buffer[4096];
        hearing = read(soundFd, buffer, sizeof buffer) > 0;
        if (!hearing) usleep(5000);
    }
    ASSERT_TRUE(hearing) << ReadFileText(children.dir + "/parec.log");

    std::string toolLog = children.dir + "/avsync.log";
    pid_t tool = SpawnChild({"env", "DISPLAY=" + display, runtime, AVSYNC_BINARY, "--seconds",
                             "4.2", "--sink", "test_sink"},
                            {.out = toolLog, .err = toolLog});
    ASSERT_GT(tool, 0);
    std::vector<double> flashes, clicks;
    bool white = false;
    double lastLoud = -1;
    int status = 0;
    bool toolDone = false;
    for (double deadline = Monotonic() + 15; Monotonic() < deadline && !toolDone;) {
        toolDone = WaitChild(tool, 0, &status);
        uint8_t buffer[4096];
        ssize_t n;
        while ((n = read(soundFd, buffer, sizeof buffer)) > 0) {
            double now = Monotonic();
            size_t frames = (size_t)n / 4;
            for (size_t i = 0; i < frames; i++) {
                int16_t left;
                memcpy(&left, buffer + 4 * i, 2);
                // The sample's time: this read's arrival less the samples behind it.
                double at = now - (double)(frames - i) / 44100.0;
                if (std::abs(left) > 3276) {
                    if (lastLoud < 0 || at - lastLoud > 0.3) clicks.push_back(at);
                    lastLoud = at;
                }
            }
        }
        XImage *image = XGetImage(x11, root, 160, 120, 1, 1, AllPlanes, ZPixmap);
        double now = Monotonic();
        if (image) {
            bool bright = (XGetPixel(image, 0, 0) & 0xff) > 128;
            if (bright && !white) flashes.push_back(now);
            white = bright;
            XDestroyImage(image);
        }
        usleep(1000);
    }
    if (!toolDone) EndChild(tool);
    XCloseDisplay(x11);
    EXPECT_TRUE(toolDone && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << ReadFileText(children.dir + "/avsync.log");
    ASSERT_EQ(flashes.size(), 4u) << ReadFileText(children.dir + "/avsync.log");
    ASSERT_EQ(clicks.size(), 4u) << ReadFileText(children.dir + "/avsync.log");
    std::vector<double> offsets;
    for (size_t i = 0; i < 4; i++)
        offsets.push_back((clicks[i] - flashes[i]) * 1e3);
    std::sort(offsets.begin(), offsets.end());
    printf("click minus flash: %.1f %.1f %.1f %.1f ms\n", offsets[0], offsets[1], offsets[2],
           offsets[3]);
    // Both are seen through their own capture path (monitor fragments of 5 ms, a screen
    // poll every millisecond); the tool aims both at one instant.
    EXPECT_LT(std::fabs((offsets[1] + offsets[2]) / 2), 20);
}

} // namespace
