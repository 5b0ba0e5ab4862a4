// The connection controller: turns the user's choice (or the hosted-mode command line)
// into mirroring connections and answers their callbacks. Runs on the main thread except
// the callbacks, which run where MirroringControllerOps says.
//
// The desktop side (password prompt, busy-receiver box, display-awake request, the end
// of a hosted run) is reached through ControllerUiOps so that the logic runs without a
// desktop in tests.
#pragma once

#include <atomic>
#include <cstdint>

#include "shell/command_line.h"

struct AudioConnection;
struct CFValue;
struct CaptureManager;
struct MirroringConnection;
struct SocketSet;

struct ControllerUiOps {
    // Keep the display awake / let it sleep again. Any thread.
    void (*preventDisplaySleep)(void *context);
    void (*allowDisplaySleep)(void *context);
    // Opens the password prompt for connection and returns without waiting for the
    // answer, which comes back through PasswordAnswered on the main thread. Called on a
    // socket thread, which a stop may be joining: it must never wait for the main thread.
    // Returns 0 when nobody can be asked.
    int (*askPassword)(void *context, MirroringConnection *connection, int retried);
    // The receiver is busy; name is its service name (never null).
    void (*showDeviceInUse)(void *context, const char *name);
    // A connection ended (after AirPlayWasDisconnected). Any thread.
    void (*connectionEnded)(void *context);
};

struct ControllerState {
    std::atomic<int> selectedReceiverIndex; // -1 none
    int chosenDisplayIndex;
    std::atomic<uintptr_t> chosenAppWindow; // 0: the whole display
    std::atomic<int> lastAudioFailure;
    HostedOptions hosted;
    CFValue *deviceId;                      // "0x" + MAC text; owned
    CaptureManager *captureManager;         // the process's manager
    MirroringConnection *current;           // last connection started; kept after it stops
    const ControllerUiOps *ui;
    void *uiContext;
    std::atomic<int> passwordPromptOpen;
};

extern ControllerState Controller;

void ControllerInit(CFValue *deviceId, CaptureManager *captureManager, const ControllerUiOps *ui,
                    void *uiContext);

// Hosted-mode start: mirrors Controller.hosted.display of this PC to the "host=" address.
// Returns true when a connection was started.
[[nodiscard]] bool ConnectToHost();
void BeginMirroring(const char *addressText, uint16_t audioPort, int displayIndex);
// Stops the current connection (the user's disconnect, or the end of a hosted run).
void StopCurrentConnection();

// MirroringConnection callbacks.
void PreventDisplaySleep(MirroringConnection *connection);
void AirPlayWasDisconnected(MirroringConnection *connection, void *user);
void PasswordRequired(MirroringConnection *connection, SocketSet *set, int retried);
void PasswordChanged(MirroringConnection *connection, CFValue *password);
void StoredPasswordQuery(MirroringConnection *connection, CFValue **out, void *user);
void DeviceInUse(MirroringConnection *connection);
// The audio connection's thread: keeps the reason the audio ended for the menu.
void AirPlayAudioWasDisconnected(AudioConnection *audio, MirroringConnection *connection);
// The prompt's answer (main thread): the password, or null when the user cancelled.
// Ignored when connection is no longer the current one.
void PasswordAnswered(MirroringConnection *connection, const char *password);
// The display configuration changed (main thread): list the displays again and let a
// running capture follow the chosen display's new size, or fall back to display 0 when
// the chosen display is gone.
void OnDisplayChange();
// The capture manager's lost-target callback: back to the whole display.
void ForgetAppWindow(CaptureManager *manager, void *user);
