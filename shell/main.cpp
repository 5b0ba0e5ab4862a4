// The ostrel program's entry point: start-up, the main initialisation, the hosted-mode
// connection, the Qt event loop and teardown.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QMetaObject>
#include <QtCore/QSocketNotifier>
#include <QtCore/QTimer>
#include <QtWidgets/QApplication>
#include <X11/Xlib.h>

#include "base/log.h"
#include "capture/capture_manager.h"
#include "capture/display_watch.h"
#include "capture/displays.h"
#include "capture/windows.h"
#include "discovery/discovery.h"
#include "mirroring/device_id.h"
#include "mirroring/mirroring_connection.h"
#include "plist/cfvalue.h"
#include "shell/audio_link.h"
#include "shell/capture_link.h"
#include "shell/controller.h"
#include "shell/discovery_link.h"
#include "shell/list_receivers.h"
#include "shell/ov_desktop_ui.h"
#include "shell/ov_shutdown_watch.h"
#include "shell/ov_updater.h"
#include "shell/settings.h"
#include "shell/startup.h"
#include "system_audio/ov_system_audio.h"
#include "video/frame_encoder.h"

namespace {

int signalPipe[2] = {-1, -1};
Controller controller;
// How long a headless sound run waits for its speaker to be announced.
constexpr int kSoundToBrowseMs = 10000;
constexpr int kSoundToPollMs = 100;

void OnStopSignal(int) {
    char byte = 1;
    ssize_t r = write(signalPipe[1], &byte, 1);
    (void)r;
}

void Usage(FILE *to) {
    fprintf(to,
            "Usage: ostrel [OPTION] [\"connect?host=ADDRESS&key=KEY[&display=N]\"]\n"
            "Mirror this desktop's screen to AirPlay receivers from the notification area.\n"
            "\n"
            "  connect?...      hosted mode: mirror display N (default 0) to the receiver at\n"
            "                   ADDRESS at once; key= selects silent mode (no tray icon), in\n"
            "                   which the program ends when the connection ends\n"
            "  --system-info    write the start-up block (version, system) to the log and exit\n"
            "  --list-receivers [SECONDS]\n"
            "                   browse SECONDS (default 3), then print one line per receiver\n"
            "                   and speaker: name, address, device id, password flag, audio\n"
            "                   port, screen or sound (tabs)\n"
            "  --sound-to NAME [SECONDS]\n"
            "                   send this PC's sound (no picture) to the speaker listed as NAME\n"
            "                   until SIGINT/SIGTERM, or for SECONDS\n"
            "  --screenshots DIR  write pictures of the menu and windows to DIR and exit\n"
            "  --help           show this help and exit\n"
            "  --version        show the version and exit\n"
            "\n"
            "Settings and the log are kept in $XDG_DATA_HOME/Ostrel (or $XDG_CONFIG_HOME/Ostrel\n"
            "when UseRoamingFolder is set in $XDG_CONFIG_HOME/Halvane/Ostrel.conf).\n");
}

bool DisplayReachable() {
    const char *name = getenv("DISPLAY");
    if (!name || !*name) return false;
    Display *display = XOpenDisplay(name);
    if (!display) return false;
    XCloseDisplay(display);
    return true;
}

// The watch thread hands display changes to the main thread, where the display list and
// the controller live.
void PostDisplayChange(void *) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { OnDisplayChange(&controller); }, Qt::QueuedConnection);
}

// Capture thread: the run cannot capture anything; the connection ends with a failure.
void OnCaptureFailed(void *, void *connection, const char *) {
    MirroringConnectionCaptureFailed(static_cast<MirroringConnection *>(connection));
}

// logind announced a shutdown: end the connection now, while the network and the receiver
// are still there. A silent run ends with it; otherwise the session's SIGTERM ends the run.
// A headless sound run: waits (bounded) for its speaker to be announced, then starts the
// session; the run ends with the session, a signal or its time limit.
void StartSoundTo(const SoundToOptions &options) {
    auto *poll = new QTimer(QCoreApplication::instance());
    auto waited = std::make_shared<int>(0);
    std::string name = options.name;
    QObject::connect(poll, &QTimer::timeout, [poll, waited, name] {
        CFValue *speakers = controller.discovery->speakerList(controller.discoveryContext);
        int32_t index = FindSpeaker(speakers, name.c_str());
        CFValueRelease(speakers);
        *waited += kSoundToPollMs;
        if (index < 0 && *waited < kSoundToBrowseMs) return;
        poll->stop();
        if (index < 0) {
            DebugLog(2, "No speaker named \"%s\" was announced within %d s\n", name.c_str(),
                     kSoundToBrowseMs / 1000);
            fprintf(stderr, "ostrel: no speaker named \"%s\" was found within %d s\n", name.c_str(),
                    kSoundToBrowseMs / 1000);
            QCoreApplication::quit();
            return;
        }
        if (!ConnectToSpeaker(&controller, index)) {
            fprintf(stderr, "ostrel: the sound could not be sent to \"%s\"\n", name.c_str());
            QCoreApplication::quit();
        }
    });
    poll->start(kSoundToPollMs);
    if (options.seconds > 0)
        QTimer::singleShot((int)(options.seconds * 1000), [poll, name] {
            DebugLog(2, "The sound run's time is up\n");
            if (poll->isActive())
                fprintf(stderr, "ostrel: no speaker named \"%s\" was found in the run's time\n",
                        name.c_str());
            StopCurrentConnection(&controller);
            QCoreApplication::quit();
        });
}

void OnSystemShutdown(void *) {
    StopCurrentConnection(&controller);
    if (controller.hosted.silent) QCoreApplication::quit();
}

// Display list, discovery, window enumerator, capture manager, address monitor. Once.
CaptureManager *StartServices(DesktopUi *ui) {
    EnumerateDisplays();
    // A hosted run is told its receiver and shows no menu: it browses nothing, and so
    // starts no mDNS responder of its own either (that would join multicast everywhere).
    if (controller.discovery && !controller.hosted.hosted)
        controller.discovery->start(controller.discoveryContext);
    WindowTracker *tracker = WindowTrackerCreate();
    if (!tracker) tracker = WindowTrackerCreate();
    if (tracker) tracker->excludeOwnWindows = 1;
    const SettingsValues &s = Settings.values;
    CaptureManager *manager =
        CaptureManagerCreate(s.overscan, s.quality, s.showMouse, s.force720p, (double)s.maxFps);
    if (manager) {
        manager->onStatusText = DesktopUiPostStatusText;
        manager->statusContext = ui;
        manager->onTargetLost = ForgetAppWindow;
        manager->user = &controller;
        manager->onCaptureFailed = OnCaptureFailed;
        manager->failedContext = nullptr;
        manager->onDisplaysChanged = PostDisplayChange;
    }
    SetEncodedFrameHandler(EnqueueVideoFrame);
    if (!controller.hosted.silent && controller.platform)
        controller.platform->startNetworkMonitor(controller.platformContext);
    DesktopUiServicesStarted(ui);
    return manager;
}

// The last of every run past the main initialisation: the connection, the windows and the
// updater, the address monitor, discovery, then the log.
void EndRun(StartupState *state, DesktopUi *ui, bool silent) {
    StopCurrentConnection(&controller);
    DesktopUiDestroy(ui);
    if (!silent) controller.platform->stopNetworkMonitor(controller.platformContext);
    DiscoveryShutdown();
    ControllerShutdown(&controller);
    EndProgram(state);
}

} // namespace

int main(int argc, char **argv) {
    bool systemInfo = false;
    const char *screenshots = nullptr;
    SoundToOptions soundTo{false, std::string(), 0};
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
        } else if (!strcmp(argv[i], "--sound-to")) {
            int taken = ParseSoundTo(argc, argv, i, &soundTo);
            if (!taken) return 2;
            i += taken - 1;
        } else if (!strcmp(argv[i], "--system-info")) {
            systemInfo = true;
        } else if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            Usage(stdout);
            return 0;
        } else if (!strcmp(argv[i], "--version")) {
            printf("ostrel %s\n", OSTREL_VERSION);
            return 0;
        } else if (!strcmp(argv[i], "--screenshots") && i + 1 < argc) {
            screenshots = argv[++i];
        } else if (strstr(argv[i], "connect?")) {
            if (!commandLine.empty()) commandLine += ' ';
            commandLine += argv[i];
        } else {
            fprintf(stderr, "ostrel: unknown argument \"%s\"\n", argv[i]);
            Usage(stderr);
            return 2;
        }
    }

    // A second copy leaves at once: nothing logged, no window.
    int lockFd = AcquireSingleInstanceLock();
    if (lockFd < 0) return -1;
    StartupState state{lockFd, {}};
    // The adapter choice logs before the log file exists: its lines reach stderr only.
    CFValue *deviceId = DeviceIdCreate();
    if (!StartProgram(&state)) return -1;
    // A run that was killed while capturing the sound left it in its private sink.
    OvSystemAudioRestoreStale();
    if (systemInfo) {
        EndProgram(&state);
        return 0;
    }

    HostedOptions hosted{};
    ParseCommandLine(commandLine.c_str(), &hosted);
    if (soundTo.on && hosted.hosted) {
        fprintf(stderr, "ostrel: --sound-to and a hosted connection exclude each other\n");
        EndProgram(&state);
        return 2;
    }
    // A sound run is headless: no tray, no windows, nobody to ask for a password.
    if (soundTo.on) hosted.silent = true;
    bool interactive = !soundTo.on && DisplayReachable();
    if (!interactive && !hosted.hosted && !soundTo.on) {
        DebugLog(2, "No X display can be reached; the tray needs one\n");
        fprintf(stderr, "ostrel: no display to show the tray on (is DISPLAY set?)\n");
        EndProgram(&state);
        return 2;
    }
    std::unique_ptr<QCoreApplication> app;
    if (interactive) {
        auto *gui = new QApplication(argc, argv);
        gui->setQuitOnLastWindowClosed(false); // the Preferences window only hides
        gui->setApplicationName(QStringLiteral("Ostrel"));
        gui->setDesktopFileName(QStringLiteral("org.ostrel.Ostrel"));
        app.reset(gui);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }

    // Main initialisation.
    controller.hosted = hosted;
    DesktopUiOptions options{interactive, hosted.silent, hosted.silent};
    DesktopUi *ui = DesktopUiCreate(&controller, options);
    SettingsOpen();
    ControllerInit(&controller, deviceId, nullptr, &kCaptureManagerOps, &kDesktopPlatformOps, ui,
                   nullptr);
    controller.hosted = hosted;
    ControllerSetDiscovery(&controller, &kDiscoveryOps, nullptr);
    ControllerSetAudio(&controller, &kAudioStreamOps, nullptr, AudioStreamTable());
    // Browse replies and discovery restarts are applied here, on the main thread.
    QSocketNotifier discoveryNotifier(DiscoveryNotifyFd(), QSocketNotifier::Read);
    QObject::connect(&discoveryNotifier, &QSocketNotifier::activated,
                     [] { DiscoveryProcessEvents(); });
    CaptureManager *manager = StartServices(ui);
    controller.captureManager = manager;
    if (!manager) DebugLog(2, "The capture manager could not be made\n");
    if (!hosted.silent && !DesktopUiShowTray(ui)) {
        DebugLog(2, "The Preferences pages could not be made\n");
        fprintf(stderr, "ostrel: the Preferences window could not be made\n");
        EndRun(&state, ui, hosted.silent);
        return 1;
    }
    if (screenshots) {
        int ok = DesktopUiScreenshots(ui, screenshots) ? 0 : 1;
        DesktopUiDestroy(ui);
        controller.platform->stopNetworkMonitor(controller.platformContext);
        DiscoveryShutdown();
        EndProgram(&state);
        return ok;
    }

    // The updater: not in hosted mode, not when switched off.
    Updater *updater = nullptr;
    if (!hosted.hosted && interactive) {
        if (AutoUpdatesDisabled()) {
            DebugLog(2, "Automatic check for updates disabled.\n");
        } else {
            DebugLog(2, "Auto check for update allowed, initialized updater.\n");
            updater = UpdaterCreate(true);
            DesktopUiSetUpdater(ui, updater);
            UpdaterStartAutomatic(updater);
        }
    }

    // SIGINT, SIGTERM (the session ending) and SIGHUP (its terminal gone) end the run from
    // the event loop, stopping the connection.
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction sa {};
        sa.sa_handler = OnStopSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGHUP, &sa, nullptr);
    }
    QSocketNotifier stopNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, [&] {
        char drain[16];
        while (read(signalPipe[0], drain, sizeof drain) > 0) {
        }
        DebugLog(2, "Stop requested by signal\n");
        DesktopUiSetQuitWhenConnectionEnds(ui, false);
        StopCurrentConnection(&controller);
        QCoreApplication::quit();
    });

    ShutdownWatch *shutdownWatch = ShutdownWatchStart(OnSystemShutdown, nullptr);
    DisplayWatch *displayWatch = DisplayWatchStart(PostDisplayChange, nullptr);
    int exitCode = 0;
    bool run = true;
    if (soundTo.on) {
        StartSoundTo(soundTo);
    } else if (hosted.hosted && manager) {
        if (!ConnectToHost(&controller) && hosted.silent) {
            exitCode = 1;
            run = false;
        }
    } else if (hosted.hosted) {
        run = !hosted.silent;
        exitCode = 1;
    }
    if (run && soundTo.on) {
        (void)app->exec();
        StopCurrentConnection(&controller);
        exitCode = ControllerSoundExitStatus(&controller);
    } else if (run) {
        exitCode = app->exec();
        // A silent run ends with its connection; its failure reason is the exit status.
        if (hosted.silent && controller.current) {
            StopCurrentConnection(&controller);
            exitCode = controller.current->failure.load();
        }
    }

    // Teardown: the display watch, the connection, the windows and the updater, the
    // address monitor, then the log.
    DisplayWatchStop(displayWatch);
    StopCurrentConnection(&controller);
    ShutdownWatchStop(shutdownWatch);
    if (!hosted.hosted && updater)
        DebugLog(2, "Updater has been previously initialized, okay to tear down.\n");
    EndRun(&state, ui, hosted.silent);
    return exitCode;
}
