#include "shell/controller.h"

#include <cstring>
#include <string>

#include "audio_stream/audio_connection.h"
#include "base/log.h"
#include "capture/capture_manager.h"
#include "capture/displays.h"
#include "mirroring/mirroring_connection.h"
#include "plist/cfvalue.h"
#include "shell/settings.h"
#include "shell/tray_menu.h"

namespace {

Controller *Of(void *context) {
    return static_cast<Controller *>(context);
}

// The user declined (or nobody could be asked): the connection ends without streaming.
void CancelForPassword(Controller *c, MirroringConnection *connection) {
    connection->established = 0;
    connection->userCancelled = 1;
    c->connection->stop(connection);
}

void SetSelectedServiceName(Controller *c, CFValue *name) {
    CFValue *old;
    {
        std::lock_guard<std::mutex> hold(c->reminderLock);
        old = c->selectedServiceName;
        c->selectedServiceName = name;
    }
    CFValueRelease(old);
}

void StartReminderIfWanted(Controller *c, const char *onLine) {
    if (Settings.values.mirroringReminder == 1) {
        DebugLog(1, "%s", onLine);
        StartMirroringReminderTimer(c, Settings.values.mirroringReminderMinutes);
    } else {
        DebugLog(1, "Setting to enable mirroring reminder turned OFF.\n");
    }
}

void KillReminderTimers(Controller *c) {
    std::lock_guard<std::mutex> hold(c->reminderLock);
    if (c->platform) {
        c->platform->killTimer(c->platformContext, kReminderTimerId);
        c->platform->killTimer(c->platformContext, kReminderCountdownTimerId);
    }
    c->reminderCount = 0;
}

// The reminder window may outlive its connection (a disconnect from the menu leaves it
// shown): answering it then must not start a reminder for nothing.
bool StillMirroring(const Controller *c) {
    return c->current && c->current->stopState.load() == 0;
}

void KillCountdown(Controller *c) {
    std::lock_guard<std::mutex> hold(c->reminderLock);
    if (c->platform) c->platform->killTimer(c->platformContext, kReminderCountdownTimerId);
    c->reminderCount = 0;
}

} // namespace

const ControllerConnectionOps kMirroringConnectionOps = {
    .start = StartMirroringConnection,
    .stop = StopMirroringConnection,
    .free = FreeMirroringConnection,
    .setPassword = SetConnectionPassword,
};

void ControllerInit(Controller *c, CFValue *deviceId, CaptureManager *manager,
                    const MirroringCaptureOps *captureOps, const ControllerPlatformOps *platform,
                    void *platformContext, const ControllerConnectionOps *connection) {
    c->selectedReceiverIndex = -1;
    c->selectedServiceName = nullptr;
    c->chosenDisplayIndex = 0;
    c->chosenAppWindow = 0;
    c->lastAudioFailure = 0;
    c->current = nullptr;
    c->passwordWindowOpen = 0;
    c->passwordForAudio = 0;
    c->selectedSpeakerIndex = -1;
    c->speakerAudio = nullptr;
    c->soundOnly = 0;
    c->soundOnlyLast = 0;
    c->speakerEnd = kSpeakerNeverStarted;
    c->deviceId = deviceId;
    c->captureManager = manager;
    c->captureOps = captureOps;
    c->shownAppList = nullptr;
    c->reminderCount = 0;
    c->platform = platform;
    c->platformContext = platformContext;
    c->connection = connection ? connection : &kMirroringConnectionOps;
    c->discovery = nullptr;
    c->discoveryContext = nullptr;
    c->audio = nullptr;
    c->audioContext = nullptr;
    delete c->callbacks;
    c->callbacks = new MirroringControllerOps{
        .onStart = PreventDisplaySleep,
        .onDisconnected = AirPlayWasDisconnected,
        .onPasswordRequired = PasswordRequired,
        .onPasswordChanged = PasswordChanged,
        .onStoredPasswordQuery = StoredPasswordQuery,
        .onDeviceInUse = DeviceInUse,
        .onAudioDisconnected = nullptr,
        .audio = nullptr,
        .onAudioPasswordRequired = AudioPasswordRequired,
    };
}

void ControllerSetDiscovery(Controller *c, const ControllerDiscoveryOps *ops, void *context) {
    c->discovery = ops;
    c->discoveryContext = context;
}

void ControllerSetAudio(Controller *c, const ControllerAudioOps *ops, void *context,
                        const MirroringAudioOps *streamOps) {
    c->audio = ops;
    c->audioContext = context;
    c->callbacks->audio = streamOps;
    c->callbacks->onAudioDisconnected = streamOps && ops ? ops->onDisconnected : nullptr;
}

int32_t ControllerSelectedIndex(const Controller *c) {
    if (c->selectedReceiverIndex.load() == -1) return -1;
    if (c->discovery && c->discovery->selectedIndex)
        return c->discovery->selectedIndex(c->discoveryContext);
    return c->selectedReceiverIndex.load();
}

void ControllerShutdown(Controller *c) {
    StopSpeakerSession(c);
    if (c->current) {
        c->connection->stop(c->current);
        c->connection->free(c->current);
        c->current = nullptr;
    }
    SetSelectedServiceName(c, nullptr);
    CFValueRelease(c->shownAppList);
    c->shownAppList = nullptr;
    delete c->callbacks;
    c->callbacks = nullptr;
}

bool ControllerEstablished(const Controller *c) {
    return c->current && c->current->established.load() != 0;
}

// ---- starting and stopping ----

void BeginMirroring(Controller *c, const char *addressText, uint16_t audioPort, int32_t audioCodec,
                    int displayIndex) {
    CFValue *host = CFStringFromBytes(addressText, 0);
    MirroringConnection *previous = c->current;
    c->soundOnlyLast = 0;
    // The start runs PreventDisplaySleep (onStart) on this thread, then returns once the
    // connection's sockets are open.
    c->current = c->connection->start(
        host, audioPort, audioCodec, displayIndex, c->chosenAppWindow.load(), c->captureOps,
        c->captureManager, AudioEnabledFlag ? 1 : 0, c->deviceId, c->callbacks, c, nullptr);
    CFValueRelease(host);
    if (previous && previous != c->current) c->connection->free(previous);
}

void StopCurrentConnection(Controller *c) {
    StopSpeakerSession(c);
    if (c->current) c->connection->stop(c->current);
}

void ConnectToSelectedService(Controller *c, int index) {
    // One session at a time: the sound sent alone to a speaker ends first.
    if (c->soundOnly.load()) {
        DebugLog(2, "Ending the sound to the speaker for the mirroring connection\n");
        StopSpeakerSession(c);
    }
    if (index == ControllerSelectedIndex(c)) {
        DebugLog(2, "User initiated AirPlay disconnect\n");
        StopCurrentConnection(c);
        c->chosenAppWindow = 0;
        if (c->captureManager) c->captureManager->window.store(0);
        return;
    }
    if (ControllerEstablished(c)) {
        DebugLog(1, "We're going to switch AirPlay connections\n");
        c->connection->stop(c->current);
        DebugLog(1, "AirPlay disconnected with intent to reconnect\n");
    } else if (c->current) {
        // A previous connection's end (over already, or finishing on its own thread) comes
        // first: it clears the selection, which the new connection sets below.
        c->connection->stop(c->current);
    }
    CFValue *list = c->discovery ? c->discovery->serviceList(c->discoveryContext) : nullptr;
    if (!list) {
        DebugLog(2, "The services list was NULL.\n");
        return;
    }
    if (index < 0 || (uint32_t)index >= CFArrayCount(list)) {
        CFValueRelease(list);
        return;
    }
    const char *text = CFStringText(CFArrayGet(list, (uint32_t)index));
    std::string name = text && *text ? text : "(null)";
    char deviceId[64] = {0};
    int passwordRequired = 0;
    CFValue *address =
        c->discovery->resolve(c->discoveryContext, name.c_str(), deviceId, &passwordRequired);
    SetSelectedServiceName(c, CFStringFromBytes(name.c_str(), (int32_t)name.size()));
    uint16_t audioPort = c->discovery->audioPort(c->discoveryContext, deviceId);
    int32_t audioCodec = c->discovery->audioCodec
                             ? c->discovery->audioCodec(c->discoveryContext, deviceId)
                             : kDefaultAudioCodec;
    bool giveUp = address == nullptr;
    DebugLog(2, "Connecting to selected service %s (Address? %s), Should Give Up? %i\n",
             name.c_str(), giveUp ? "" : CFStringText(address), giveUp ? 1 : 0);
    if (giveUp || !CheckRouteToReceiver(CFStringText(address))) {
        AirPlayWasDisconnected(c, c->current);
        SetSelectedServiceName(c, nullptr);
        CFValueRelease(address);
        CFValueRelease(list);
        return;
    }
    DebugLog(2, "Beginning AirPlay Connection...\n");
    // Selected, and the reminder set, before the connection exists: a receiver that fails
    // at once ends it on another thread, possibly before the start returns, and its end
    // must find them to clear.
    c->lastAudioFailure = 0;
    c->selectedReceiverIndex = index;
    if (c->discovery && c->discovery->setSelectedIndex)
        c->discovery->setSelectedIndex(c->discoveryContext, index);
    StartReminderIfWanted(
        c, "Setting to enable mirroring reminder turned ON.  Start reminder timer.\n");
    BeginMirroring(c, CFStringText(address), audioPort, audioCodec, c->chosenDisplayIndex);
    CFValueRelease(address);
    if (passwordRequired && c->current) {
        CFValue *held = nullptr;
        {
            std::lock_guard<std::mutex> hold(c->current->passwordLock);
            held = CFValueRetain(c->current->password);
        }
        if (!c->current->established.load() && held)
            c->connection->setPassword(c->current, CFStringText(held));
        else
            OpenPasswordWindow(c);
        CFValueRelease(held);
    }
    CFValueRelease(list);
}

bool ConnectToHost(Controller *c) {
    DebugLog(1, "ConnectToHost()\n");
    c->chosenDisplayIndex = 0;
    const HostedOptions &h = c->hosted;
    DebugLog(2, "Connecting to service provided by host (Address? %s), Should Give Up? %i\n",
             h.hosted ? h.host.c_str() : "", h.hosted ? 0 : 1);
    if (h.hosted && CheckRouteToReceiver(h.host.c_str())) {
        DebugLog(2, "Beginning AirPlay Connection...\n");
        // As for a chosen receiver: a previous connection's end first, then the state a
        // quick failure's end must find to clear, then the start.
        if (c->current) c->connection->stop(c->current);
        c->lastAudioFailure = 0;
        if (!h.silent && Settings.values.mirroringReminder) {
            DebugLog(1, "Setting to enable mirroring reminder turned ON.  Start reminder.\n");
            StartMirroringReminderTimer(c, Settings.values.mirroringReminderMinutes);
        }
        BeginMirroring(c, h.host.c_str(), kHostedAudioPort, kDefaultAudioCodec, h.display);
        return true;
    }
    c->selectedReceiverIndex = -1;
    AirPlayWasDisconnected(c, c->current);
    return false;
}

// ---- connection callbacks ----

void PreventDisplaySleep(void *context, MirroringConnection *) {
    Controller *c = Of(context);
    if (c->platform) c->platform->preventDisplaySleep(c->platformContext);
    DebugLog(2, "The system should not sleep (display)\n");
}

void AirPlayWasDisconnected(void *context, MirroringConnection *) {
    Controller *c = Of(context);
    DebugLog(2, "AirPlayWasDisconnected Callback\n");
    StopMirroringReminderTimer(c);
    SetSelectedServiceName(c, nullptr);
    c->selectedReceiverIndex = -1;
    if (c->platform) c->platform->allowDisplaySleep(c->platformContext);
    DebugLog(2, "The system may sleep (display)\n");
    if (c->platform && c->platform->connectionEnded)
        c->platform->connectionEnded(c->platformContext);
}

void StoredPasswordQuery(void *, MirroringConnection *, CFValue **out, void *) {
    // A reference of our own: the main thread may replace the stored password meanwhile.
    if (CFValue *stored = SettingsCopyPassword()) *out = stored;
}

void PasswordChanged(void *, MirroringConnection *, CFValue *password) {
    SettingsSetPassword(password);
    SettingsSave();
}

void PasswordRequired(void *context, MirroringConnection *connection, SocketSet *, int retried) {
    Controller *c = Of(context);
    if (!connection) return;
    if (!connection->established.load() && !retried) {
        // Hand the held password back as the same buffer: the connection then only gives
        // it to the Digest client again instead of storing a new one. The reference keeps
        // the text alive should the main thread replace it meanwhile.
        CFValue *held = nullptr;
        {
            std::lock_guard<std::mutex> guard(connection->passwordLock);
            held = CFValueRetain(connection->password);
        }
        if (held) {
            c->connection->setPassword(connection, CFStringText(held));
            CFValueRelease(held);
            return;
        }
    }
    c->passwordForAudio = 0;
    if (c->platform && c->platform->requestPasswordWindow(c->platformContext)) return;
    DebugLog(2, "The receiver wants a password and no one can be asked for it\n");
    CancelForPassword(c, connection);
}

int AudioPasswordRequired(void *context, MirroringConnection *connection, int retried) {
    Controller *c = Of(context);
    if (!connection || !c->audio || !c->audio->setPassword) return 0;
    DebugLog(2, "The receiver wants a password for the sound%s\n",
             retried ? " (the one given was refused)" : "");
    // The flag goes up before the window is asked for: the main thread may answer at once.
    c->passwordForAudio = 1;
    if (c->platform && c->platform->requestPasswordWindow(c->platformContext)) return 1;
    c->passwordForAudio = 0;
    return 0;
}

void DeviceInUse(void *context, MirroringConnection *) {
    Controller *c = Of(context);
    DebugLog(2, "AirPlay Device already in use!\n");
    if (c->passwordWindowOpen.exchange(0) && c->platform)
        c->platform->closePasswordWindow(c->platformContext);
    // This runs on a socket thread, where the service list may not be read: the name kept
    // when the receiver was chosen is its entry's text. Hosted mode has no name, no box.
    std::string name;
    {
        std::lock_guard<std::mutex> hold(c->reminderLock);
        if (c->selectedServiceName) name = CFStringText(c->selectedServiceName);
    }
    if (name.empty() || c->selectedReceiverIndex.load() == -1) return;
    DebugLog(2, "\"%s\" is currently in use.\n", name.c_str());
    if (c->platform) c->platform->showDeviceInUse(c->platformContext, name.c_str());
}

// ---- the password window ----

void OpenPasswordWindow(Controller *c) {
    if (c->passwordWindowOpen.load()) return;
    // A mirroring connection the receiver closed wants no password any more; a speaker's
    // request has nothing to do with it.
    if (c->passwordForAudio.load() != 2 && c->current &&
        c->current->failure.load() == kMirroringDisconnectedByHost)
        return;
    if (!c->platform) return;
    c->passwordWindowOpen = 1;
    c->platform->openPasswordWindow(c->platformContext);
}

void PasswordWindowOk(Controller *c, const char *text) {
    c->passwordWindowOpen = 0;
    int32_t asker = c->passwordForAudio.exchange(0);
    if (asker == 2) {
        // The speaker's: kept as the last password, as a receiver's is.
        if (!text || !c->audio || !c->audio->setSpeakerPassword) return;
        std::string password(text, strnlen(text, 1023));
        CFValue *stored = CFStringFromBytes(password.c_str(), (int32_t)password.size());
        PasswordChanged(c, nullptr, stored);
        CFValueRelease(stored);
        c->audio->setSpeakerPassword(c->audioContext, c, password.c_str());
        return;
    }
    bool forAudio = asker != 0;
    if (!c->current || !text) return;
    std::string password(text, strnlen(text, 1023));
    // Replaces the connection's password, reports it through PasswordChanged (stored and
    // saved), and hands it to the Digest client when the socket set exists. A password asked
    // for the sound is kept there too, so that the sound started again later has it.
    c->connection->setPassword(c->current, password.c_str());
    if (forAudio && c->audio && c->audio->setPassword)
        c->audio->setPassword(c->audioContext, c->current, password.c_str());
}

void PasswordWindowCancel(Controller *c) {
    c->passwordWindowOpen = 0;
    int32_t asker = c->passwordForAudio.exchange(0);
    if (asker == 2) {
        if (c->audio && c->audio->setSpeakerPassword)
            c->audio->setSpeakerPassword(c->audioContext, c, nullptr);
        return;
    }
    bool forAudio = asker != 0;
    if (!c->current) return;
    // Declining the sound's password ends the sound only; the picture goes on.
    if (forAudio && c->audio && c->audio->setPassword) {
        c->audio->setPassword(c->audioContext, c->current, nullptr);
        return;
    }
    CancelForPassword(c, c->current);
}

// ---- audio ----

int ControllerAudioState(const Controller *c) {
    if (c->soundOnlyLast.load() && c->audio && c->audio->speakerStatus) {
        int state = 0;
        c->audio->speakerStatus(c->audioContext, const_cast<Controller *>(c), &state, nullptr);
        return state;
    }
    return c->audio && c->current ? c->audio->state(c->audioContext, c->current) : 0;
}

int ControllerAudioFailure(const Controller *c) {
    if (c->soundOnlyLast.load() && c->audio && c->audio->speakerStatus) {
        int failure = 0;
        c->audio->speakerStatus(c->audioContext, const_cast<Controller *>(c), nullptr, &failure);
        return failure;
    }
    return c->audio && c->current ? c->audio->failure(c->audioContext, c->current) : 0;
}

void AirPlayAudioWasDisconnected(Controller *c, int failure) {
    DebugLog(2, "AirPlay Audio Was Disconnected Callback\n");
    c->lastAudioFailure = failure;
}

void ToggleAudio(Controller *c) {
    if (c->soundOnly.load()) {
        // The sound is all a speaker session has: switching it off ends the session.
        DebugLog(2, "User initiated Audio disconnect\n");
        StopSpeakerSession(c);
    } else if (c->current && c->current->state.load() == kMirroringStreaming && c->audio) {
        if (AudioEnabledFlag) {
            DebugLog(2, "User initiated Audio disconnect\n");
            DebugLog(1, "Windows Event Loop: About to stop audio\n");
            c->audio->stop(c->audioContext, c->current);
            DebugLog(1, "Windows Event Loop: Finished stop audio\n");
        } else {
            DebugLog(2, "User initiated Audio connect\n");
            DebugLog(1, "Windows Event Loop: About to start audio\n");
            c->audio->start(c->audioContext, c->current);
            DebugLog(1, "Windows Event Loop: Finished start audio\n");
        }
    }
    c->lastAudioFailure = 0;
    AudioEnabledFlag = !AudioEnabledFlag;
    Settings.values.audioEnabled = AudioEnabledFlag ? 1 : 0;
    SettingsSave();
}

void StopAudioForExit(Controller *c) {
    if (!c->hosted.silent && c->platform) c->platform->stopNetworkMonitor(c->platformContext);
    StopSpeakerSession(c);
    if (c->current && c->current->state.load() == kMirroringStreaming && AudioEnabledFlag &&
        c->audio) {
        DebugLog(2, "User initiated Audio disconnect\n");
        DebugLog(1, "Windows Event Loop: About to stop audio\n");
        c->audio->stop(c->audioContext, c->current);
        DebugLog(1, "Windows Event Loop: Finished stop audio\n");
    }
}

// ---- the sound alone to a speaker ----

int32_t ControllerSelectedSpeaker(const Controller *c) {
    if (c->selectedSpeakerIndex.load() == -1) return -1;
    if (c->discovery && c->discovery->selectedSpeaker)
        return c->discovery->selectedSpeaker(c->discoveryContext);
    return c->selectedSpeakerIndex.load();
}

void StopSpeakerSession(Controller *c) {
    if (!c->soundOnly.load() && !c->speakerAudio.load()) return;
    int32_t running = kSpeakerRunning;
    c->speakerEnd.compare_exchange_strong(running, kSpeakerStoppedByUser);
    if (c->audio && c->audio->stopSpeaker) c->audio->stopSpeaker(c->audioContext, c);
    // A connection that never got as far as its worker has nobody else to say it ended.
    if (c->soundOnly.exchange(0)) {
        c->selectedSpeakerIndex = -1;
        if (c->platform && c->platform->connectionEnded)
            c->platform->connectionEnded(c->platformContext);
    }
}

void SpeakerSoundWasDisconnected(Controller *c, int failure) {
    DebugLog(2, "The sound to the speaker has ended\n");
    c->lastAudioFailure = failure;
    c->selectedSpeakerIndex = -1;
    if (!c->soundOnly.exchange(0)) return;
    int32_t running = kSpeakerRunning;
    c->speakerEnd.compare_exchange_strong(running, failure);
    if (c->platform && c->platform->connectionEnded)
        c->platform->connectionEnded(c->platformContext);
}

int SpeakerPasswordRequired(Controller *c, int retried) {
    if (!c->audio || !c->audio->setSpeakerPassword) return 0;
    DebugLog(2, "The speaker wants a password for the sound%s\n",
             retried ? " (the one given was refused)" : "");
    c->passwordForAudio = 2;
    if (c->platform && c->platform->requestPasswordWindow(c->platformContext)) return 1;
    c->passwordForAudio = 0;
    return 0;
}

bool ConnectToSpeaker(Controller *c, int index) {
    if (index == ControllerSelectedSpeaker(c)) {
        DebugLog(2, "User initiated sound-only disconnect\n");
        StopSpeakerSession(c);
        return false;
    }
    StopSpeakerSession(c);
    // One session at a time: mirroring ends first, as for a switch between receivers.
    if (c->current && c->current->stopState.load() == 0) {
        DebugLog(2, "Ending the mirroring connection for the sound to a speaker\n");
        c->connection->stop(c->current);
    }
    if (!c->audio || !c->audio->startSpeaker || !c->discovery || !c->discovery->speakerList ||
        !c->discovery->resolveSpeaker) {
        DebugLog(2, "Sound to a speaker is not available\n");
        return false;
    }
    CFValue *list = c->discovery->speakerList(c->discoveryContext);
    if (!list || index < 0 || (uint32_t)index >= CFArrayCount(list)) {
        DebugLog(2, "The speaker list has no entry %d\n", index);
        CFValueRelease(list);
        return false;
    }
    const char *text = CFStringText(CFArrayGet(list, (uint32_t)index));
    std::string name = text ? text : "";
    CFValueRelease(list);
    char deviceId[64] = {0};
    int passwordRequired = 0;
    uint16_t port = 0;
    int32_t codec = kDefaultAudioCodec;
    CFValue *address = c->discovery->resolveSpeaker(c->discoveryContext, name.c_str(), deviceId,
                                                    &passwordRequired, &port, &codec);
    int32_t unusable = c->discovery->speakerUnusable
                           ? c->discovery->speakerUnusable(c->discoveryContext, name.c_str())
                           : kSpeakerUsable;
    DebugLog(2, "Sending the sound to speaker %s (Address? %s, port %u, format %d)\n", name.c_str(),
             address ? CFStringText(address) : "", (unsigned)port, (int)codec);
    c->soundOnlyLast = 1;
    c->lastAudioFailure = 0;
    if (!address || !CheckRouteToReceiver(CFStringText(address)) || codec < 0 ||
        unusable != kSpeakerUsable) {
        if (address && (codec < 0 || unusable != kSpeakerUsable))
            DebugLog(2, "Audio: %s plays %s; nothing sent\n", name.c_str(),
                     unusable == kSpeakerEncryptedOnly ? "encrypted sound only"
                                                       : "no format this program sends");
        CFValueRelease(address);
        c->speakerEnd = kAudioConnectFailed;
        c->lastAudioFailure = kAudioUnknownError;
        return false;
    }
    // Chosen before the start: a speaker that refuses at once ends the session on another
    // thread, and its end must find the selection to clear.
    c->selectedSpeakerIndex = index;
    if (c->discovery->setSelectedSpeaker)
        c->discovery->setSelectedSpeaker(c->discoveryContext, index);
    c->speakerEnd = kSpeakerRunning;
    c->soundOnly = 1;
    if (!AudioEnabledFlag) {
        // Choosing a speaker asks for sound: the switch says so.
        AudioEnabledFlag = true;
        Settings.values.audioEnabled = 1;
        SettingsSave();
    }
    CFValue *password = SettingsCopyPassword();
    int started = c->audio->startSpeaker(c->audioContext, c, address, port, password, codec);
    CFValueRelease(password);
    CFValueRelease(address);
    if (!started) {
        int failure = 0;
        if (c->audio->speakerStatus) c->audio->speakerStatus(c->audioContext, c, nullptr, &failure);
        SpeakerSoundWasDisconnected(c, failure ? failure : kAudioUnknownError);
        return false;
    }
    return true;
}

int ControllerSoundExitStatus(const Controller *c) {
    switch (c->speakerEnd.load()) {
    case kSpeakerRunning:
    case kSpeakerStoppedByUser:
        return 0;
    case kSpeakerNeverStarted:
    case kAudioConnectFailed:
        return 1;
    case kAudioNoFailure: // a refused step (busy, unsupported)
    case kAudioDisconnectedByHost:
    case kAudioPasswordRequired:
        return 2;
    case kAudioNoAnswer:
        return 5;
    default:
        return 3;
    }
}

// ---- capture target ----

void ChooseDisplay(Controller *c, int index) {
    c->chosenAppWindow = 0;
    c->chosenDisplayIndex = index;
    if (c->captureManager) {
        c->captureManager->displayIndex.store(index);
        c->captureManager->window.store(0);
    }
}

void ControllerSetShownApps(Controller *c, CFValue *apps) {
    CFValue *old = c->shownAppList;
    c->shownAppList = CFValueRetain(apps);
    CFValueRelease(old);
}

void ChooseAppWindow(Controller *c, int commandId) {
    uintptr_t window = AppWindowForCommand(c->shownAppList, commandId);
    if (!window) {
        DebugLog(1, "Failed to find selected App!\n");
        return;
    }
    c->chosenAppWindow = window;
    if (c->platform) c->platform->activateWindow(c->platformContext, window);
    if (c->captureManager) c->captureManager->window.store((WindowHandle)window);
}

void ForgetAppWindow(CaptureManager *, void *user) {
    if (user) Of(user)->chosenAppWindow = 0;
}

void OnDisplayChange(Controller *c) {
    int count = EnumerateDisplays();
    CaptureManager *manager = c->captureManager;
    if (count > 0 && c->chosenDisplayIndex >= 0 && c->chosenDisplayIndex < count) {
        DebugLog(1, "FrameEncoder: Resolution changed!\n");
        if (manager) {
            CaptureUpdateOutputSize(manager);
            manager->relayout.store(1);
        }
        return;
    }
    c->chosenDisplayIndex = 0;
    if (manager) {
        manager->displayIndex.store(0);
        manager->window.store(0);
    }
}

// ---- suspend and resume ----

void OnSuspend(Controller *c) {
    if (c->hosted.silent) return;
    if (c->discovery) c->discovery->forget(c->discoveryContext);
    if (c->platform) c->platform->stopNetworkMonitor(c->platformContext);
}

void OnResume(Controller *c) {
    if (c->hosted.silent) return;
    if (c->discovery) c->discovery->start(c->discoveryContext);
    if (c->platform) c->platform->startNetworkMonitor(c->platformContext);
}

// ---- the mirroring reminder ----

std::string ReminderText(const Controller *c, int secondsLeft) {
    std::string name;
    {
        std::lock_guard<std::mutex> hold(const_cast<Controller *>(c)->reminderLock);
        if (c->selectedServiceName) name = CFStringText(c->selectedServiceName);
    }
    int n = secondsLeft <= 0 ? kReminderCountdownTicks : secondsLeft;
    return "Ostrel is still mirroring to " + name +
           ".  Would you like to continue mirroring?  Mirroring will automatically disconnect "
           "in " +
           std::to_string(n) + (n == 1 ? " second." : " seconds.");
}

void StartMirroringReminderTimer(Controller *c, int minutes) {
    DebugLog(1, "StartMirroringReminderTimer, %i\n", minutes);
    if (c->platform)
        c->platform->startTimer(c->platformContext, kReminderTimerId, minutes * 60000, 0);
}

void StopMirroringReminderTimer(Controller *c) {
    DebugLog(1, "StopMirroringReminderTimer\n");
    KillReminderTimers(c);
}

void ControllerTimerFired(Controller *c, int id) {
    if (id == kReminderTimerId)
        ShowMirroringReminderWindowCallback(c, id);
    else if (id == kReminderCountdownTimerId)
        AutoCloseMirroringReminderWindowCallback(c, id);
}

void ShowMirroringReminderWindowCallback(Controller *c, int id) {
    DebugLog(1, "ShowMirroringReminderWindowCallback idEvent: %i\n", id);
    if (id != kReminderTimerId || !c->platform) return;
    const ControllerPlatformOps *p = c->platform;
    if (!p->reminderVisible(c->platformContext))
        p->showReminder(c->platformContext, ReminderText(c, 0).c_str());
    std::lock_guard<std::mutex> hold(c->reminderLock);
    p->startTimer(c->platformContext, kReminderCountdownTimerId, 1000, 1);
    p->killTimer(c->platformContext, kReminderTimerId);
}

void AutoCloseMirroringReminderWindowCallback(Controller *c, int id) {
    DebugLog(1, "AutoCloseMirroringReminderWindowCallback idEvent: %i\n", id);
    if (id != kReminderCountdownTimerId || !c->platform) return;
    int count;
    {
        std::lock_guard<std::mutex> hold(c->reminderLock);
        count = c->reminderCount;
        if (count < kReminderCountdownTicks) c->reminderCount = count + 1;
    }
    if (count < kReminderCountdownTicks) {
        c->platform->setReminderText(c->platformContext,
                                     ReminderText(c, kReminderCountdownTicks - count).c_str());
        return;
    }
    DebugLog(2, "No user response to mirroring reminder. Stop mirroring.\n");
    StopCurrentConnection(c);
    if (c->platform->reminderVisible(c->platformContext))
        c->platform->hideReminder(c->platformContext);
    KillCountdown(c);
}

void ReminderCloseRequested(Controller *c) {
    KillCountdown(c);
    if (Settings.values.mirroringReminder && StillMirroring(c))
        StartMirroringReminderTimer(c, Settings.values.mirroringReminderMinutes);
    if (c->platform) c->platform->hideReminder(c->platformContext);
}

void ReminderContinue(Controller *c) {
    DebugLog(1, "User chose to continue mirroring.\n");
    KillCountdown(c);
    if (Settings.values.mirroringReminder && StillMirroring(c)) {
        DebugLog(1, "Setting to enable mirroring reminder turned ON.  Start timer back up.\n");
        StartMirroringReminderTimer(c, Settings.values.mirroringReminderMinutes);
    }
    if (c->platform) c->platform->hideReminder(c->platformContext);
}

void ReminderStopMirroring(Controller *c) {
    DebugLog(1, "User chose to stop mirroring.\n");
    KillCountdown(c);
    StopCurrentConnection(c);
    if (c->platform) c->platform->hideReminder(c->platformContext);
}
