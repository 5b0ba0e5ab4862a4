// The connection controller: turns the user's choices (or the hosted-mode command line)
// into mirroring connections and answers their callbacks. Everything runs on the main
// thread except the connection callbacks, which run where MirroringControllerOps says.
//
// The controller is one record passed to every operation, and the context of every
// callback it installs. What it needs from elsewhere comes through ops tables, so that
// the logic runs without a desktop, a network or discovery in tests:
//   ControllerPlatformOps   the desktop: windows, message box, timers, display-awake
//   ControllerConnectionOps the mirroring connection (defaults to the real one)
//   ControllerDiscoveryOps  the receivers found on the network
//   ControllerAudioOps      the audio connection of a mirroring connection, and the sound
//                           sent alone to a speaker
//
// One session at a time: mirroring to a receiver (with or without its sound), or the PC's
// sound alone to a speaker. Choosing either ends the other.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "shell/command_line.h"

struct AudioConnection;
struct CFValue;
struct CaptureManager;
struct MirroringAudioOps;
struct MirroringCaptureOps;
struct MirroringConnection;
struct MirroringControllerOps;
struct SocketSet;

// Timer identifiers handed to ControllerPlatformOps::startTimer.
constexpr int kReminderTimerId = 1;
constexpr int kReminderCountdownTimerId = 2;
constexpr int kReminderCountdownTicks = 60;
// Hosted receivers are taken without discovery; their audio service is expected here.
constexpr uint16_t kHostedAudioPort = 47000;
// The sound format a receiver's record does not name (an AudioCodec number: AAC-ELD).
constexpr int32_t kDefaultAudioCodec = 3;

// Controller::speakerEnd besides the AudioFailure a session ended with.
constexpr int32_t kSpeakerStoppedByUser = -1;
constexpr int32_t kSpeakerNeverStarted = -2;
constexpr int32_t kSpeakerRunning = -3;

// Why a speaker cannot be chosen (ControllerDiscoveryOps::speakerUnusable).
enum SpeakerUnusable : int32_t {
    kSpeakerUsable = 0,
    kSpeakerEncryptedOnly = 1, // it plays encrypted sound only
    kSpeakerNoFormat = 2,      // it plays none of PCM, ALAC and AAC-ELD
};

struct ControllerPlatformOps {
    // Keep the display awake / let it sleep again. Any thread.
    void (*preventDisplaySleep)(void *context);
    void (*allowDisplaySleep)(void *context);
    // Asks the main thread to run OpenPasswordWindow and returns without waiting: the
    // asking socket thread may be joined by a stop the main thread is running.
    // Returns 0 when nobody can be asked (no display).
    int (*requestPasswordWindow)(void *context);
    // Opens the password window (main thread); its answer comes back through
    // PasswordWindowOk or PasswordWindowCancel. Closes it without an answer.
    void (*openPasswordWindow)(void *context);
    void (*closePasswordWindow)(void *context); // any thread
    // "Device Not Available" for the named receiver. Any thread; must not wait.
    void (*showDeviceInUse)(void *context, const char *name);
    // One-shot (repeat 0) or periodic timer on the main thread; calls
    // ControllerTimerFired(controller, id). Starting a running id restarts it. Killing
    // may come from any thread; a tick already on its way is ignored by id and count.
    void (*startTimer)(void *context, int id, int periodMs, int repeat);
    void (*killTimer)(void *context, int id);
    // The reminder window: shown with text (or its text replaced when shown), hidden.
    void (*showReminder)(void *context, const char *text);
    void (*setReminderText)(void *context, const char *text);
    int (*reminderVisible)(void *context);
    void (*hideReminder)(void *context);
    // Brings an application window to the front.
    void (*activateWindow)(void *context, uintptr_t window);
    // The network address change monitor.
    void (*startNetworkMonitor)(void *context);
    void (*stopNetworkMonitor)(void *context);
    // A connection ended (after AirPlayWasDisconnected). Any thread.
    void (*connectionEnded)(void *context);
};

// The mirroring connection's operations, as mirroring_connection.h declares them.
struct ControllerConnectionOps {
    MirroringConnection *(*start)(CFValue *host, uint16_t audioPort, int32_t audioCodec,
                                  int displayIndex, uintptr_t window,
                                  const MirroringCaptureOps *capture, void *captureContext,
                                  int audioOn, CFValue *deviceId,
                                  const MirroringControllerOps *controller, void *user,
                                  void *queryUser);
    void (*stop)(MirroringConnection *connection);
    void (*free)(MirroringConnection *connection);
    void (*setPassword)(MirroringConnection *connection, const char *text);
};
extern const ControllerConnectionOps kMirroringConnectionOps;

// Receiver discovery as the controller and the tray menu use it. Main thread only.
struct Controller;

struct ControllerDiscoveryOps {
    // The service names (CFArray of CFString), a new reference; null when there is no list.
    CFValue *(*serviceList)(void *context);
    // A new string with the receiver's dotted address, or null; fills deviceId (64
    // bytes) and *passwordRequired.
    CFValue *(*resolve)(void *context, const char *name, char *deviceId, int *passwordRequired);
    // The receiver's audio port (49152 when unknown).
    uint16_t (*audioPort)(void *context, const char *deviceId);
    // Starts discovery afresh on a thread of its own.
    void (*start)(void *context);
    // Releases the service list until the next start (suspend).
    void (*forget)(void *context);
    // Where the selected receiver now stands in the list (discovery keeps it on the same
    // name as the list changes; -1 when it left), and its setting when a connection starts.
    // Null: the controller's own index is used as it stands.
    int32_t (*selectedIndex)(void *context);
    void (*setSelectedIndex)(void *context, int32_t index);
    // What the receiver's sound service plays: the AudioCodec number to send
    // (kDefaultAudioCodec when unknown). Null: kDefaultAudioCodec.
    int32_t (*audioCodec)(void *context, const char *deviceId);
    // Speakers: full sound-service names ("5855CA1AE288@Kitchen"), a new reference; null
    // when there is no list. Null op: no speakers.
    CFValue *(*speakerList)(void *context);
    // A new string with the speaker's dotted address, or null; fills deviceId (64 bytes),
    // *passwordRequired, *port and *codec (AudioCodec number, -1 when none is usable).
    CFValue *(*resolveSpeaker)(void *context, const char *name, char *deviceId,
                               int *passwordRequired, uint16_t *port, int32_t *codec);
    // A SpeakerUnusable reason for the speaker as last announced.
    int32_t (*speakerUnusable)(void *context, const char *name);
    // As selectedIndex and setSelectedIndex, for the speaker list.
    int32_t (*selectedSpeaker)(void *context);
    void (*setSelectedSpeaker)(void *context, int32_t index);
};

// The audio connection of a mirroring connection. Null until audio streaming exists.
struct ControllerAudioOps {
    // Its state (9 connected, 11 disconnecting) and failure reason; 0 without one.
    int (*state)(void *context, MirroringConnection *connection);
    int (*failure)(void *context, MirroringConnection *connection);
    void (*start)(void *context, MirroringConnection *connection);
    void (*stop)(void *context, MirroringConnection *connection);
    // Installed in the connections: an audio connection ended (its own thread); it finds
    // the controller through connection->user.
    void (*onDisconnected)(AudioConnection *audio, MirroringConnection *connection);
    // The user's answer to the receiver's password request for the sound: text, or null
    // when declined (the sound then ends with its failure; the picture goes on).
    void (*setPassword)(void *context, MirroringConnection *connection, const char *text);
    // The sound alone to a speaker, in the controller's speakerAudio slot: start (1 when
    // under way; its end comes through SpeakerSoundWasDisconnected), stop (waits for the
    // end), its state and failure, and the user's password answer (null: declined).
    int (*startSpeaker)(void *context, Controller *c, CFValue *host, uint16_t port,
                        CFValue *password, int32_t codec);
    void (*stopSpeaker)(void *context, Controller *c);
    void (*speakerStatus)(void *context, Controller *c, int *state, int *failure);
    void (*setSpeakerPassword)(void *context, Controller *c, const char *text);
};

struct Controller {
    // -1 once the connection ended (any thread writes it then); while a receiver is
    // selected, discovery's index says where it now stands (ControllerSelectedIndex).
    std::atomic<int32_t> selectedReceiverIndex;
    CFValue *selectedServiceName; // copy of that receiver's name, or null
    int32_t chosenDisplayIndex;
    std::atomic<uintptr_t> chosenAppWindow; // 0: the whole display
    std::atomic<int32_t> lastAudioFailure;
    MirroringConnection *current; // last connection started; kept after it stops
    std::atomic<int32_t> passwordWindowOpen;
    // The window was asked for by the sound beside the picture (1) or by the sound sent to a
    // speaker (2); 0: by the mirroring connection.
    std::atomic<int32_t> passwordForAudio;
    // The sound-only session: the speaker's position in the speaker list (-1 none; as
    // selectedReceiverIndex), its audio connection, whether it runs (1 from the choice
    // until its connection ended), whether the last session chosen was one (the menu's
    // sound lines then read it), and how the last one ended (an AudioFailure, or one of
    // the values below).
    std::atomic<int32_t> selectedSpeakerIndex;
    std::atomic<AudioConnection *> speakerAudio{nullptr};
    std::atomic<int32_t> soundOnly;
    std::atomic<int32_t> soundOnlyLast;
    std::atomic<int32_t> speakerEnd;
    HostedOptions hosted;
    CFValue *deviceId; // "0x" + MAC text; borrowed
    CaptureManager *captureManager;
    const MirroringCaptureOps *captureOps;
    CFValue *shownAppList; // the application list the last menu showed
    int32_t reminderCount; // countdown ticks so far
    const ControllerPlatformOps *platform;
    void *platformContext;
    const ControllerConnectionOps *connection;
    const ControllerDiscoveryOps *discovery;
    void *discoveryContext;
    const ControllerAudioOps *audio;
    void *audioContext;
    MirroringControllerOps *callbacks =
        nullptr;             // installed in every connection; context is this record
    std::mutex reminderLock; // the reminder's timers and count against a connection thread's stop
};

// Puts the initial state. Ops may be null (then that side is absent); connection null
// means kMirroringConnectionOps. hosted is kept.
void ControllerInit(Controller *c, CFValue *deviceId, CaptureManager *manager,
                    const MirroringCaptureOps *captureOps, const ControllerPlatformOps *platform,
                    void *platformContext, const ControllerConnectionOps *connection);
void ControllerSetDiscovery(Controller *c, const ControllerDiscoveryOps *ops, void *context);
// The audio side: ops the controller drives, and the stream table the connections start
// their audio with (null: pictures only).
void ControllerSetAudio(Controller *c, const ControllerAudioOps *ops, void *context,
                        const MirroringAudioOps *streamOps);
// Stops and frees the current connection and drops the controller's references.
void ControllerShutdown(Controller *c);

// The selected receiver's position in the current service list, -1 for none.
int32_t ControllerSelectedIndex(const Controller *c);

// Receiver i of the service list chosen in the menu: connect, switch, or (the same one
// again) disconnect.
void ConnectToSelectedService(Controller *c, int index);
// Hosted mode: mirrors the command line's display to its "host=". True when started.
[[nodiscard]] bool ConnectToHost(Controller *c);
void BeginMirroring(Controller *c, const char *addressText, uint16_t audioPort, int32_t audioCodec,
                    int displayIndex);
// Stops the current session, if any: the mirroring connection or the sound-only session.
void StopCurrentConnection(Controller *c);

// Speaker i of the speaker list chosen in the menu: sends the PC's sound there alone (any
// mirroring ends first), or (the same one again) stops. False when nothing was started.
bool ConnectToSpeaker(Controller *c, int index);
// Ends the sound-only session, if one runs (user's choice: no failure is kept).
void StopSpeakerSession(Controller *c);
// The chosen speaker's position in the current speaker list, -1 for none.
int32_t ControllerSelectedSpeaker(const Controller *c);
// The sound-only session's connection ended with failure (AudioFailure). Its thread.
void SpeakerSoundWasDisconnected(Controller *c, int failure);
// The speaker wants a password for the sound (its receive thread): as AudioPasswordRequired.
int SpeakerPasswordRequired(Controller *c, int retried);
// A headless sound-only run's exit status, as a hosted run's: 0 when it ran until it was
// stopped, 1 when it never started or could not connect, 2 when the speaker refused (a
// refused step, a password nobody gave) or closed the connection, 3 for another failure,
// 5 when the speaker stopped answering.
int ControllerSoundExitStatus(const Controller *c);
// True when a current connection exists and its stream loop runs.
bool ControllerEstablished(const Controller *c);

// Connection callbacks (context is the Controller).
void PreventDisplaySleep(void *context, MirroringConnection *connection);
void AirPlayWasDisconnected(void *context, MirroringConnection *connection);
void PasswordRequired(void *context, MirroringConnection *connection, SocketSet *set, int retried);
// The sound connection's password request (its receive thread): 1 when the window was asked
// for, 0 when nobody can be asked (the sound connection then ends itself; the picture goes on).
int AudioPasswordRequired(void *context, MirroringConnection *connection, int retried);
void PasswordChanged(void *context, MirroringConnection *connection, CFValue *password);
void StoredPasswordQuery(void *context, MirroringConnection *connection, CFValue **out, void *);
void DeviceInUse(void *context, MirroringConnection *connection);

// The password window (main thread).
void OpenPasswordWindow(Controller *c);
void PasswordWindowOk(Controller *c, const char *text);
void PasswordWindowCancel(Controller *c);

// Audio. An audio connection ended with failure (its reason; 0 none). Its thread.
void AirPlayAudioWasDisconnected(Controller *c, int failure);
void ToggleAudio(Controller *c);
void StopAudioForExit(Controller *c);
// State of the current connection's audio connection and its failure; 0 without one.
int ControllerAudioState(const Controller *c);
int ControllerAudioFailure(const Controller *c);

// Capture target.
void ChooseDisplay(Controller *c, int index);
void ChooseAppWindow(Controller *c, int commandId);
// The capture manager's lost-target callback (user is the Controller).
void ForgetAppWindow(CaptureManager *manager, void *user);
// Keeps the application list the menu shows (a new reference is taken) for ChooseAppWindow.
void ControllerSetShownApps(Controller *c, CFValue *apps);
void OnDisplayChange(Controller *c);

// Suspend and resume (ignored in silent mode).
void OnSuspend(Controller *c);
void OnResume(Controller *c);

// The mirroring reminder.
void StartMirroringReminderTimer(Controller *c, int minutes);
void StopMirroringReminderTimer(Controller *c);
void ControllerTimerFired(Controller *c, int id);
void ShowMirroringReminderWindowCallback(Controller *c, int id);
void AutoCloseMirroringReminderWindowCallback(Controller *c, int id);
// The reminder window's close request, "Continue" and "Stop Mirroring".
void ReminderCloseRequested(Controller *c);
void ReminderContinue(Controller *c);
void ReminderStopMirroring(Controller *c);
// The reminder text for n seconds left (n <= 0: the first text, "60 seconds").
std::string ReminderText(const Controller *c, int secondsLeft);
