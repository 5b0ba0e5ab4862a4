#include "shell/controller.h"

#include <cstring>

#include "audio_stream/audio_connection.h"
#include "base/log.h"
#include "capture/capture_manager.h"
#include "capture/displays.h"
#include "mirroring/mirroring_connection.h"
#include "plist/cfvalue.h"
#include "shell/capture_link.h"
#include "shell/settings.h"

ControllerState Controller;

namespace {

// Hosted receivers are taken without discovery; their audio service is expected here.
constexpr uint16_t kHostedAudioPort = 47000;

const MirroringControllerOps kControllerOps = {
    .onStart = PreventDisplaySleep,
    .onDisconnected = AirPlayWasDisconnected,
    .onPasswordRequired = PasswordRequired,
    .onPasswordChanged = PasswordChanged,
    .onStoredPasswordQuery = StoredPasswordQuery,
    .onDeviceInUse = DeviceInUse,
    .onAudioDisconnected = AirPlayAudioWasDisconnected,
    .audio = &kAudioConnectionOps,
};

// The user declined (or nobody could be asked): the connection ends without streaming.
void CancelForPassword(MirroringConnection *connection) {
    connection->established = 0;
    connection->userCancelled = 1;
    StopMirroringConnection(connection);
}

} // namespace

void ControllerInit(CFValue *deviceId, CaptureManager *captureManager, const ControllerUiOps *ui,
                    void *uiContext) {
    Controller.selectedReceiverIndex = -1;
    Controller.chosenDisplayIndex = 0;
    Controller.chosenAppWindow = 0;
    Controller.lastAudioFailure = 0;
    Controller.deviceId = deviceId;
    Controller.captureManager = captureManager;
    Controller.current = nullptr;
    Controller.ui = ui;
    Controller.uiContext = uiContext;
    Controller.passwordPromptOpen = 0;
}

void BeginMirroring(const char *addressText, uint16_t audioPort, int displayIndex) {
    CFValue *host = CFStringFromBytes(addressText, 0);
    MirroringConnection *previous = Controller.current;
    Controller.current = StartMirroringConnection(
        host, audioPort, displayIndex, Controller.chosenAppWindow.load(), &kCaptureManagerOps,
        Controller.captureManager, AudioEnabledFlag ? 1 : 0, Controller.deviceId, &kControllerOps,
        (void *)&Controller.selectedReceiverIndex, nullptr);
    CFValueRelease(host);
    // StartMirroringConnection returns once the sockets are open; the start callback
    // was run by it on this thread.
    if (previous && previous != Controller.current) FreeMirroringConnection(previous);
}

bool ConnectToHost() {
    DebugLog(1, "ConnectToHost()\n");
    Controller.chosenDisplayIndex = 0;
    const HostedOptions &h = Controller.hosted;
    DebugLog(2, "Connecting to service provided by host (Address? %s), Should Give Up? %i\n",
             h.hosted ? h.host.c_str() : "", h.hosted ? 0 : 1);
    if (h.hosted && CheckRouteToReceiver(h.host.c_str())) {
        DebugLog(2, "Beginning AirPlay Connection...\n");
        BeginMirroring(h.host.c_str(), kHostedAudioPort, h.display);
        // The mirroring reminder belongs to the tray; hosted runs outside silent mode
        // would start it here.
        Controller.lastAudioFailure = 0;
        return true;
    }
    Controller.selectedReceiverIndex = -1;
    AirPlayWasDisconnected(Controller.current, (void *)&Controller.selectedReceiverIndex);
    return false;
}

void StopCurrentConnection() {
    if (Controller.current) StopMirroringConnection(Controller.current);
}

void PreventDisplaySleep(MirroringConnection *) {
    if (Controller.ui) Controller.ui->preventDisplaySleep(Controller.uiContext);
    DebugLog(2, "The system should not sleep (display)\n");
}

void AirPlayWasDisconnected(MirroringConnection *, void *user) {
    DebugLog(2, "AirPlayWasDisconnected Callback\n");
    DebugLog(1, "StopMirroringReminderTimer\n");
    if (user) static_cast<std::atomic<int> *>(user)->store(-1);
    if (Controller.ui) Controller.ui->allowDisplaySleep(Controller.uiContext);
    DebugLog(2, "The system may sleep (display)\n");
    if (Controller.ui) Controller.ui->connectionEnded(Controller.uiContext);
}

void AirPlayAudioWasDisconnected(AudioConnection *audio, MirroringConnection *) {
    DebugLog(2, "AirPlay Audio Was Disconnected Callback\n");
    Controller.lastAudioFailure = audio ? audio->failure.load() : 0;
}

void StoredPasswordQuery(MirroringConnection *, CFValue **out, void *) {
    if (Settings.values.lastPassword) *out = CFValueRetain(Settings.values.lastPassword);
}

void PasswordChanged(MirroringConnection *, CFValue *password) {
    SettingsSetPassword(password);
    SettingsSave();
}

void PasswordRequired(MirroringConnection *connection, SocketSet *, int retried) {
    if (!connection) return;
    if (!connection->established.load() && !retried) {
        // Hand the held password back as the same buffer: the connection then only
        // gives it to the Digest client again instead of storing a new one.
        const char *held = nullptr;
        {
            std::lock_guard<std::mutex> guard(connection->passwordLock);
            if (connection->password) held = CFStringText(connection->password);
        }
        if (held) {
            SetConnectionPassword(connection, held);
            return;
        }
    }
    // One prompt at a time: a second request while it is open is answered by it.
    if (Controller.passwordPromptOpen.exchange(1)) return;
    if (Controller.ui && Controller.ui->askPassword(Controller.uiContext, connection, retried))
        return;
    Controller.passwordPromptOpen = 0;
    CancelForPassword(connection);
}

void PasswordAnswered(MirroringConnection *connection, const char *password) {
    Controller.passwordPromptOpen = 0;
    if (!connection || connection != Controller.current) return;
    if (password) {
        SetConnectionPassword(connection, password);
        return;
    }
    CancelForPassword(connection);
}

void DeviceInUse(MirroringConnection *) {
    DebugLog(2, "AirPlay Device already in use!\n");
    // Without a service list (hosted mode) the receiver has no name to show.
}

void OnDisplayChange() {
    int count = EnumerateDisplays();
    CaptureManager *manager = Controller.captureManager;
    if (count > 0 && Controller.chosenDisplayIndex >= 0 && Controller.chosenDisplayIndex < count) {
        DebugLog(1, "FrameEncoder: Resolution changed!\n");
        if (manager) {
            CaptureUpdateOutputSize(manager);
            manager->relayout.store(1);
        }
        return;
    }
    Controller.chosenDisplayIndex = 0;
    if (manager) {
        manager->displayIndex.store(0);
        manager->window.store(0);
    }
}

void ForgetAppWindow(CaptureManager *, void *) { Controller.chosenAppWindow = 0; }
