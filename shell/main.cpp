// The ostrel program's entry point: start-up, the hosted-mode connection, the event loop
// and teardown.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <fcntl.h>
#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QMetaObject>
#include <QtCore/QSocketNotifier>
#include <QtWidgets/QApplication>
#include <X11/Xlib.h>

#include "base/log.h"
#include "capture/capture_manager.h"
#include "capture/display_watch.h"
#include "capture/displays.h"
#include "discovery/discovery.h"
#include "mirroring/device_id.h"
#include "mirroring/mirroring_connection.h"
#include "net/network_monitor.h"
#include "plist/cfvalue.h"
#include "shell/controller.h"
#include "shell/list_receivers.h"
#include "shell/ov_desktop_ui.h"
#include "shell/settings.h"
#include "shell/startup.h"
#include "system_audio/ov_system_audio.h"
#include "video/frame_encoder.h"

namespace {

int signalPipe[2] = {-1, -1};

void OnStopSignal(int) {
    char byte = 1;
    ssize_t r = write(signalPipe[1], &byte, 1);
    (void)r;
}

void Usage() {
    fprintf(stderr,
            "usage: ostrel [--system-info] [\"connect?host=ADDRESS&key=KEY[&display=N]\"]\n"
            "       ostrel --list-receivers [SECONDS]\n"
            "  connect?...     mirror display N (default 0) to the receiver at ADDRESS until it\n"
            "                  goes away or the program is interrupted; key= selects silent mode\n"
            "  --system-info   log the start-up block (version, system) and exit\n"
            "  --list-receivers [SECONDS]\n"
            "                  browse SECONDS (default 3), then print one line per receiver:\n"
            "                  name, address, device id, password flag, audio port (tabs)\n");
}

bool DisplayReachable() {
    const char *name = getenv("DISPLAY");
    if (!name || !*name) return false;
    Display *display = XOpenDisplay(name);
    if (!display) return false;
    XCloseDisplay(display);
    return true;
}

void LogStatusText(void *, const char *text) {
    if (text && *text) DebugLog(1, "%s\n", text);
}

// The watch thread hands display changes to the main thread, where the display list and
// the controller live.
void PostDisplayChange(void *) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), [] { OnDisplayChange(); },
                              Qt::QueuedConnection);
}

// Capture thread: the run cannot capture anything; the connection ends with a failure.
void OnCaptureFailed(void *, void *connection, const char *) {
    MirroringConnectionCaptureFailed(static_cast<MirroringConnection *>(connection));
}

CaptureManager *StartServices() {
    EnumerateDisplays();
    DiscoveryRestart(nullptr);
    const SettingsValues &s = Settings.values;
    CaptureManager *manager =
        CaptureManagerCreate(s.overscan, s.quality, s.showMouse, s.force720p, (double)s.maxFps);
    if (!manager) return nullptr;
    manager->onStatusText = LogStatusText;
    manager->statusContext = nullptr;
    manager->onTargetLost = ForgetAppWindow;
    manager->user = nullptr;
    manager->onCaptureFailed = OnCaptureFailed;
    manager->failedContext = nullptr;
    manager->onDisplaysChanged = PostDisplayChange;
    SetEncodedFrameHandler(EnqueueVideoFrame);
    return manager;
}

} // namespace

int main(int argc, char **argv) {
    bool systemInfo = false;
    std::string commandLine;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--list-receivers")) {
            double seconds = 3;
            if (i + 1 < argc) {
                char *end = nullptr;
                seconds = strtod(argv[i + 1], &end);
                if (!end || *end || !(seconds >= 0 && seconds <= 3600)) {
                    fprintf(stderr, "ostrel: --list-receivers takes seconds from 0 to 3600\n");
                    return 2;
                }
            }
            return ListReceivers(seconds);
        } else if (!strcmp(argv[i], "--system-info")) {
            systemInfo = true;
        } else if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            Usage();
            return 0;
        } else if (strstr(argv[i], "connect?")) {
            if (!commandLine.empty()) commandLine += ' ';
            commandLine += argv[i];
        } else {
            fprintf(stderr, "ostrel: unknown argument \"%s\"\n", argv[i]);
            Usage();
            return 2;
        }
    }

    StartupState state{-1, {}};
    int lockFd = AcquireSingleInstanceLock();
    if (lockFd < 0) return -1; // another copy runs: leave quietly
    // The adapter choice logs before the log file exists: its lines reach stderr only.
    CFValue *deviceId = DeviceIdCreate();
    state.lockFd = lockFd;
    if (!StartProgram(&state)) return -1;
    // A run that was killed while capturing the sound left it in its private sink.
    OvSystemAudioRestoreStale();
    if (systemInfo) {
        EndProgram(&state);
        return 0;
    }

    // Widgets (the password prompt) need a display; without one the run stays headless.
    bool interactive = DisplayReachable();
    std::unique_ptr<QCoreApplication> app;
    if (interactive)
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);

    SettingsOpen();
    ParseCommandLine(commandLine.c_str(), &Controller.hosted);
    CaptureManager *manager = StartServices();
    static DesktopUi ui{interactive, Controller.hosted.hosted};
    ControllerInit(deviceId, manager, &kDesktopUiOps, &ui);
    // ControllerInit resets the controller; the command line parsed above stays.

    if (!Controller.hosted.hosted) {
        DebugLog(2, "No receiver was named on the command line; nothing to do\n");
        fprintf(stderr, "ostrel: give \"connect?host=ADDRESS&key=KEY\" to mirror to a receiver\n");
        DiscoveryShutdown();
        EndProgram(&state);
        return 2;
    }
    if (!manager) {
        DebugLog(2, "The capture manager could not be made\n");
        DiscoveryShutdown();
        EndProgram(&state);
        return 1;
    }

    // SIGINT and SIGTERM stop the connection cleanly from the event loop.
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction sa {};
        sa.sa_handler = OnStopSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
    }
    QSocketNotifier stopNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, [&] {
        char drain[16];
        while (read(signalPipe[0], drain, sizeof drain) > 0) {
        }
        DebugLog(2, "Stop requested by signal\n");
        ui.quitWhenConnectionEnds = false;
        StopCurrentConnection();
        QCoreApplication::quit();
    });

    // Browse replies and discovery restarts are applied here, on the main thread.
    QSocketNotifier discoveryNotifier(DiscoveryNotifyFd(), QSocketNotifier::Read);
    QObject::connect(&discoveryNotifier, &QSocketNotifier::activated,
                     [] { DiscoveryProcessEvents(); });
    if (!Controller.hosted.silent) NetworkMonitorStart(DiscoveryRestart, nullptr);

    DisplayWatch *displayWatch = DisplayWatchStart(PostDisplayChange, nullptr);
    int exitCode = 0;
    if (!ConnectToHost()) {
        exitCode = 1;
    } else {
        app->exec();
        StopCurrentConnection();
        if (Controller.current) exitCode = Controller.current->failure.load();
    }
    DisplayWatchStop(displayWatch);
    if (!Controller.hosted.silent) NetworkMonitorStop();
    DiscoveryShutdown();
    if (Controller.current) FreeMirroringConnection(Controller.current);
    Controller.current = nullptr;
    EndProgram(&state);
    return exitCode;
}
