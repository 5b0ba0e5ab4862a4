// The connection controller against fake connections, a fake desktop with fake timers
// and a fake discovery: every decision the controller makes, with no network or display.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "audio_stream/audio_connection.h"
#include "base/log.h"
#include "base/thread.h"
#include "capture/capture_manager.h"
#include "mirroring/mirroring_connection.h"
#include "plist/cfvalue.h"
#include "shell/controller.h"
#include "shell/settings.h"
#include "shell/tray_menu.h"
#include "tests/support/file_text.h"

namespace {

// ---- fake connections: started "connecting"; a test moves them on ----

std::vector<MirroringConnection *> started;
// The next connection fails before its start returns, as a refusing receiver's does when
// its thread is quicker than the starter.
bool failDuringStart = false;

MirroringConnection *FakeStart(CFValue *host, uint16_t audioPort, int32_t audioCodec,
                               int displayIndex, uintptr_t window, const MirroringCaptureOps *,
                               void *, int audioOn, CFValue *, const MirroringControllerOps *ops,
                               void *user, void *) {
    auto *c = new MirroringConnection;
    c->host = CFValueRetain(host);
    c->audioPort = audioPort;
    c->audioCodec = audioCodec;
    c->displayIndex = displayIndex;
    c->window = window;
    c->audioOn = audioOn;
    c->controller = ops;
    c->user = user;
    c->state = kMirroringSocketsOpened;
    started.push_back(c);
    ops->onStart(user, c);
    if (failDuringStart) {
        c->failure = kMirroringConnectFailed;
        c->state = kMirroringIdle;
        c->stopState = 2;
        ops->onDisconnected(user, c);
    }
    return c;
}

void FakeStop(MirroringConnection *c) {
    if (c->stopState.exchange(2) == 2) return;
    c->state = kMirroringIdle;
    c->established = 0;
    c->controller->onDisconnected(c->user, c);
}

void FakeFree(MirroringConnection *c) {
    FakeStop(c);
    CFValueRelease(c->host);
    CFValueRelease(c->password);
    for (auto &s : started)
        if (s == c) s = nullptr;
    delete c;
}

// As the real one: a new password is kept and reported, the same buffer only re-handed.
void FakeSetPassword(MirroringConnection *c, const char *text) {
    CFValue *changed = nullptr;
    {
        std::lock_guard<std::mutex> hold(c->passwordLock);
        if (!c->password || CFStringText(c->password) != text) {
            CFValueRelease(c->password);
            c->password = CFStringFromBytes(text, 0);
            changed = CFValueRetain(c->password);
        }
    }
    if (changed) c->controller->onPasswordChanged(c->user, c, changed);
    CFValueRelease(changed);
}

const ControllerConnectionOps kFakeConnections = {FakeStart, FakeStop, FakeFree, FakeSetPassword};

// ---- the fake desktop ----

struct FakeTimer {
    int periodMs = 0;
    bool repeat = false;
    bool active = false;
};

struct FakeDesktop {
    int preventSleep = 0, allowSleep = 0, passwordOpened = 0, passwordClosed = 0;
    int monitorStarts = 0, monitorStops = 0, ended = 0;
    bool canAsk = true;
    std::vector<std::string> busyBoxes;
    std::map<int, FakeTimer> timers;
    bool reminderShown = false;
    std::string reminderText;
    uintptr_t activated = 0;
    Controller *controller = nullptr;
};

FakeDesktop *D(void *context) {
    return static_cast<FakeDesktop *>(context);
}

const ControllerPlatformOps kFakeDesktop = {
    .preventDisplaySleep = [](void *x) { D(x)->preventSleep++; },
    .allowDisplaySleep = [](void *x) { D(x)->allowSleep++; },
    .requestPasswordWindow =
        [](void *x) {
            if (!D(x)->canAsk) return 0;
            OpenPasswordWindow(D(x)->controller); // the main thread would run it
            return 1;
        },
    .openPasswordWindow = [](void *x) { D(x)->passwordOpened++; },
    .closePasswordWindow = [](void *x) { D(x)->passwordClosed++; },
    .showDeviceInUse = [](void *x, const char *name) { D(x)->busyBoxes.push_back(name); },
    .startTimer =
        [](void *x, int id, int ms, int repeat) {
            D(x)->timers[id] = {ms, repeat != 0, true};
        },
    .killTimer = [](void *x, int id) { D(x)->timers[id].active = false; },
    .showReminder =
        [](void *x, const char *text) {
            D(x)->reminderShown = true;
            D(x)->reminderText = text;
        },
    .setReminderText = [](void *x, const char *text) { D(x)->reminderText = text; },
    .reminderVisible = [](void *x) { return D(x)->reminderShown ? 1 : 0; },
    .hideReminder = [](void *x) { D(x)->reminderShown = false; },
    .activateWindow = [](void *x, uintptr_t w) { D(x)->activated = w; },
    .startNetworkMonitor = [](void *x) { D(x)->monitorStarts++; },
    .stopNetworkMonitor = [](void *x) { D(x)->monitorStops++; },
    .connectionEnded = [](void *x) { D(x)->ended++; },
};

// ---- the fake discovery ----

struct FakeDiscovery {
    CFValue *list = nullptr;     // service names
    CFValue *speakers = nullptr; // sound-service names
    int32_t selectedSpeaker = -1;
    std::map<std::string, std::string> addresses;
    std::map<std::string, int> passwordFlags;
    int starts = 0, forgets = 0;
};

FakeDiscovery *F(void *context) {
    return static_cast<FakeDiscovery *>(context);
}

const ControllerDiscoveryOps kFakeDiscovery = {
    .serviceList = [](void *x) { return CFValueRetain(F(x)->list); },
    .resolve = [](void *x, const char *name, char *deviceId, int *pw) -> CFValue * {
        auto it = F(x)->addresses.find(name);
        if (it == F(x)->addresses.end()) return nullptr;
        snprintf(deviceId, 64, "5855ca1ae288");
        *pw = F(x)->passwordFlags[name];
        return CFStringFromBytes(it->second.c_str(), 0);
    },
    .audioPort = [](void *, const char *id) -> uint16_t {
        return strcmp(id, "5855ca1ae288") ? 49152 : 5000;
    },
    .start = [](void *x) { F(x)->starts++; },
    .forget =
        [](void *x) {
            F(x)->forgets++;
            CFValueRelease(F(x)->list);
            F(x)->list = nullptr;
        },
    .selectedIndex = nullptr,
    .setSelectedIndex = nullptr,
    // The receivers' sound service plays ALAC only.
    .audioCodec = [](void *, const char *) { return (int32_t)kAudioCodecAlac; },
    .speakerList = [](void *x) { return CFValueRetain(F(x)->speakers); },
    // "Kitchen" plays PCM at 127.0.0.3:5100; "Locked" plays encrypted sound only.
    .resolveSpeaker = [](void *, const char *name, char *deviceId, int *pw, uint16_t *port,
                         int32_t *codec) -> CFValue * {
        snprintf(deviceId, 64, "%.12s", name);
        *pw = 0;
        *port = 5100;
        *codec = strstr(name, "@Kitchen") ? kAudioCodecPcm : -1;
        return CFStringFromBytes("127.0.0.3", 0);
    },
    .speakerUnusable = [](void *, const char *name) -> int32_t {
        return strstr(name, "@Locked") ? kSpeakerEncryptedOnly : kSpeakerUsable;
    },
    .selectedSpeaker = [](void *x) { return F(x)->selectedSpeaker; },
    .setSelectedSpeaker = [](void *x, int32_t index) { F(x)->selectedSpeaker = index; },
};

// The sound alone to a speaker: started "negotiating"; a test moves it on or ends it.
struct FakeSpeakerAudio {
    int starts = 0, stops = 0;
    std::string host;
    uint16_t port = 0;
    int32_t codec = -1;
    int state = 0, failure = 0;
};
FakeSpeakerAudio *S(void *context) {
    return static_cast<FakeSpeakerAudio *>(context);
}
const ControllerAudioOps kFakeSpeakerAudio = {
    .state = [](void *, MirroringConnection *c) { return c->audioOn ? 9 : 0; },
    .failure = [](void *, MirroringConnection *) { return 0; },
    .start = [](void *, MirroringConnection *c) { c->audioOn = 1; },
    .stop = [](void *, MirroringConnection *c) { c->audioOn = 0; },
    .onDisconnected = nullptr,
    .setPassword = nullptr,
    .startSpeaker = [](void *x, Controller *, CFValue *host, uint16_t port, CFValue *,
                       int32_t codec) -> int {
        S(x)->starts++;
        S(x)->host = CFStringText(host);
        S(x)->port = port;
        S(x)->codec = codec;
        S(x)->state = 2;
        S(x)->failure = 0;
        return 1;
    },
    // As the real stop: the connection's end reports itself before the stop returns.
    .stopSpeaker =
        [](void *x, Controller *c) {
            if (S(x)->state == 0) return;
            S(x)->stops++;
            S(x)->state = 0;
            SpeakerSoundWasDisconnected(c, 0);
        },
    .speakerStatus =
        [](void *x, Controller *, int *state, int *failure) {
            if (state) *state = S(x)->state;
            if (failure) *failure = S(x)->failure;
        },
    .setSpeakerPassword = nullptr,
};

struct FakeAudio {
    int starts = 0, stops = 0;
};
const ControllerAudioOps kFakeAudio = {
    .state = [](void *, MirroringConnection *c) { return c->audioOn ? 9 : 0; },
    .failure = [](void *, MirroringConnection *) { return 0; },
    // As the real ops, a start or stop records whether the connection wants sound.
    .start =
        [](void *x, MirroringConnection *c) {
            static_cast<FakeAudio *>(x)->starts++;
            c->audioOn = 1;
        },
    .stop =
        [](void *x, MirroringConnection *c) {
            static_cast<FakeAudio *>(x)->stops++;
            c->audioOn = 0;
        },
};

// Records the answers given to the sound's password requests ("<declined>" for none).
struct FakeAudioPassword {
    std::vector<std::string> answers;
    int failure = 0;
};
const ControllerAudioOps kFakeAudioWithPassword = {
    .state = [](void *, MirroringConnection *) { return 2; },
    .failure = [](void *x,
                  MirroringConnection *) { return static_cast<FakeAudioPassword *>(x)->failure; },
    .start = [](void *, MirroringConnection *) {},
    .stop = [](void *, MirroringConnection *) {},
    .onDisconnected = nullptr,
    .setPassword =
        [](void *x, MirroringConnection *, const char *text) {
            static_cast<FakeAudioPassword *>(x)->answers.push_back(text ? text : "<declined>");
        },
};

// Keeps the lines with plain line ends.
void CaptureLog(void *context, const char *text, size_t length) {
    for (size_t i = 0; i < length; i++)
        if (text[i] != '\r') static_cast<std::string *>(context)->push_back(text[i]);
}

class ControllerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ostrel-controller-XXXXXX";
        root = mkdtemp(tmpl);
        setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
        LogOutputMode = 1;
        LogLevelThreshold = 0;
        SetDebugOutput(CaptureLog, &log);
        SettingsOpen();
        AudioEnabledFlag = false;
        started.clear();
        failDuringStart = false;
        desktop.controller = &c;
        ControllerInit(&c, nullptr, nullptr, nullptr, &kFakeDesktop, &desktop, &kFakeConnections);
        ControllerSetDiscovery(&c, &kFakeDiscovery, &discovery);
        discovery.list = CFArrayNew(4);
        for (const char *name : {"Den", "Kitchen", "Attic"}) {
            CFValue *s = CFStringFromBytes(name, 0);
            CFArrayPush(discovery.list, s);
            CFValueRelease(s);
        }
        discovery.addresses = {{"Den", "127.0.0.1"}, {"Kitchen", "127.0.0.2"}};
    }
    void TearDown() override {
        ControllerShutdown(&c);
        CFValueRelease(discovery.list);
        CFValueRelease(discovery.speakers);
        SettingsSetPassword(nullptr);
        SetDebugOutput(nullptr, nullptr);
        LogLevelThreshold = 0;
        std::string cmd = "rm -rf '" + root + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
    }
    void Establish(MirroringConnection *m) {
        m->state = kMirroringStreaming;
        m->established = 1;
    }
    // Fires a timer as the event loop would, once it is due.
    void Fire(int id) {
        ASSERT_TRUE(desktop.timers[id].active) << "timer " << id << " is not running";
        if (!desktop.timers[id].repeat) desktop.timers[id].active = false;
        ControllerTimerFired(&c, id);
    }
    std::string MenuText() {
        TrayMenuInputs in = TrayMenuInputsFrom(&c, false, true, discovery.list, nullptr, nullptr);
        TrayMenuAddSpeakers(&c, &in, discovery.speakers);
        return DescribeMenu(BuildTrayMenu(&in));
    }
    std::string root, log;
    Controller c;
    FakeDesktop desktop;
    FakeDiscovery discovery;
};

TEST_F(ControllerTest, ConnectSwitchAndDisconnect) {
    ConnectToSelectedService(&c, 0);
    ASSERT_EQ(1u, started.size());
    EXPECT_STREQ("127.0.0.1", CFStringText(started[0]->host));
    EXPECT_EQ(5000, started[0]->audioPort); // paired through the device id
    EXPECT_EQ(0, c.selectedReceiverIndex.load());
    EXPECT_EQ(1, desktop.preventSleep);
    EXPECT_NE(
        std::string::npos,
        log.find("Connecting to selected service Den (Address? 127.0.0.1), Should Give Up? 0\n"));
    EXPECT_NE(std::string::npos, MenuText().find("(AirPlay: Connecting...)"));
    EXPECT_NE(std::string::npos, MenuText().find("[x] (Den) #32776"));
    Establish(started[0]);
    EXPECT_NE(std::string::npos, MenuText().find("[x] Den #32776"));

    // Another receiver while mirroring: the first stops before the second starts.
    ConnectToSelectedService(&c, 1);
    ASSERT_EQ(2u, started.size());
    EXPECT_EQ(nullptr, started[0]) << "the stopped connection was freed";
    EXPECT_STREQ("127.0.0.2", CFStringText(c.current->host));
    EXPECT_EQ(1, c.selectedReceiverIndex.load());
    EXPECT_EQ(1, desktop.allowSleep);
    size_t switching = log.find("We're going to switch AirPlay connections\n");
    size_t reconnect = log.find("AirPlay disconnected with intent to reconnect\n");
    size_t second = log.find("Connecting to selected service Kitchen");
    EXPECT_TRUE(switching < reconnect && reconnect < second);

    // The same receiver again: a user disconnect that also forgets the chosen window.
    Establish(c.current);
    c.chosenAppWindow = 0x42;
    ConnectToSelectedService(&c, 1);
    EXPECT_EQ(-1, c.selectedReceiverIndex.load());
    EXPECT_EQ(0u, c.chosenAppWindow.load());
    EXPECT_EQ(2, desktop.allowSleep);
    EXPECT_NE(std::string::npos, log.find("User initiated AirPlay disconnect\n"));
    EXPECT_NE(std::string::npos, MenuText().find("(AirPlay: Not Connected)"));
}

// A receiver that refuses at once: its end may come before the start returns. Nothing stays
// checked, no reminder is pending, and the next choice of it connects instead of counting
// as "the same receiver again".
TEST_F(ControllerTest, ReceiverFailingDuringTheStartLeavesNothingSelected) {
    Settings.values.mirroringReminder = 1;
    failDuringStart = true;
    ConnectToSelectedService(&c, 0);
    ASSERT_EQ(1u, started.size());
    EXPECT_EQ(-1, ControllerSelectedIndex(&c));
    EXPECT_EQ(std::string::npos, MenuText().find("[x] Den")) << MenuText();
    EXPECT_FALSE(desktop.timers[kReminderTimerId].active) << "a reminder for a failed connection";

    failDuringStart = false;
    ConnectToSelectedService(&c, 0);
    ASSERT_EQ(2u, started.size()) << "choosing it again did not connect";
    EXPECT_EQ(0, ControllerSelectedIndex(&c));
    EXPECT_TRUE(desktop.timers[kReminderTimerId].active);
}

TEST_F(ControllerTest, UnresolvedUnroutableAndMissingListStartNothing) {
    ConnectToSelectedService(&c, 2); // "Attic" does not resolve
    EXPECT_TRUE(started.empty());
    EXPECT_EQ(-1, c.selectedReceiverIndex.load());
    EXPECT_NE(std::string::npos,
              log.find("Connecting to selected service Attic (Address? ), Should Give Up? 1\n"));
    EXPECT_EQ(1, desktop.allowSleep) << "the disconnected routine ran";

    discovery.addresses["Attic"] = "not-an-address";
    ConnectToSelectedService(&c, 2);
    EXPECT_TRUE(started.empty());
    EXPECT_NE(std::string::npos,
              log.find("Couldn't get a route to the selected AirPlay device.\n"));

    ConnectToSelectedService(&c, 7); // beyond the list
    EXPECT_TRUE(started.empty());
    CFValueRelease(discovery.list);
    discovery.list = nullptr;
    ConnectToSelectedService(&c, 0);
    EXPECT_TRUE(started.empty());
    EXPECT_NE(std::string::npos, log.find("The services list was NULL.\n"));
}

TEST_F(ControllerTest, PasswordAskedStoredAndAskedAgain) {
    discovery.passwordFlags["Den"] = 1;
    ConnectToSelectedService(&c, 0);
    ASSERT_TRUE(c.current);
    EXPECT_EQ(1, desktop.passwordOpened) << "a password-protected receiver asks at once";
    // The receiver's challenge while the window is open does not open a second one.
    PasswordRequired(&c, c.current, nullptr, 0);
    EXPECT_EQ(1, desktop.passwordOpened);

    PasswordWindowOk(&c, "s3cret");
    EXPECT_STREQ("s3cret", CFStringText(c.current->password));
    CFValue *stored = SettingsCopyPassword();
    ASSERT_TRUE(stored);
    EXPECT_STREQ("s3cret", CFStringText(stored));
    CFValueRelease(stored);
    // Saved scrambled: each byte XOR its position.
    EXPECT_NE(std::string::npos, ReadFileText(Settings.path).find("<string>s2aqaq</string>"));

    // A first challenge is answered with the held password, without a window.
    PasswordRequired(&c, c.current, nullptr, 0);
    EXPECT_EQ(1, desktop.passwordOpened);
    // Refused: the window opens again; Cancel ends the connection.
    PasswordRequired(&c, c.current, nullptr, 1);
    EXPECT_EQ(2, desktop.passwordOpened);
    MirroringConnection *m = c.current;
    PasswordWindowCancel(&c);
    EXPECT_EQ(1, m->userCancelled.load());
    EXPECT_EQ(2, m->stopState.load());
    EXPECT_EQ(-1, c.selectedReceiverIndex.load());

    // Nobody to ask (no display): the connection is cancelled instead of waiting.
    ConnectToSelectedService(&c, 1);
    desktop.canAsk = false;
    PasswordRequired(&c, c.current, nullptr, 1);
    EXPECT_EQ(1, c.current->userCancelled.load());
}

// A receiver that protects only its sound: the window's answer goes to the sound connection
// (and is stored), declining ends the sound alone, and with nobody to ask the picture is left
// alone too.
TEST_F(ControllerTest, SoundPasswordIsAskedForTheSoundAlone) {
    FakeAudioPassword audio;
    ControllerSetAudio(&c, &kFakeAudioWithPassword, &audio, nullptr);
    ConnectToSelectedService(&c, 0);
    ASSERT_TRUE(c.current);
    Establish(c.current);
    MirroringConnection *m = c.current;

    EXPECT_EQ(1, AudioPasswordRequired(&c, m, 0));
    EXPECT_EQ(1, desktop.passwordOpened);
    PasswordWindowOk(&c, "s3cret");
    ASSERT_EQ(1u, audio.answers.size());
    EXPECT_EQ("s3cret", audio.answers[0]);
    CFValue *stored = SettingsCopyPassword();
    ASSERT_TRUE(stored);
    EXPECT_STREQ("s3cret", CFStringText(stored)) << "a later start of the sound needs it too";
    CFValueRelease(stored);

    // Refused, asked again, declined: only the sound hears of it.
    EXPECT_EQ(1, AudioPasswordRequired(&c, m, 1));
    EXPECT_EQ(2, desktop.passwordOpened);
    PasswordWindowCancel(&c);
    ASSERT_EQ(2u, audio.answers.size());
    EXPECT_EQ("<declined>", audio.answers[1]);
    EXPECT_EQ(0, m->userCancelled.load());
    EXPECT_EQ(0, m->stopState.load());
    EXPECT_EQ(0, c.selectedReceiverIndex.load());
    EXPECT_EQ(0, desktop.ended);
    audio.failure = kAudioPasswordRequired;
    EXPECT_NE(std::string::npos, MenuText().find("Audio: Password Required")) << MenuText();

    // Nobody to ask: the sound connection is told so and ends itself; the picture goes on.
    desktop.canAsk = false;
    EXPECT_EQ(0, AudioPasswordRequired(&c, m, 0));
    EXPECT_EQ(2u, audio.answers.size());
    EXPECT_EQ(0, m->stopState.load());
    EXPECT_EQ(0, m->userCancelled.load());
    // The window's next Cancel is the picture's again.
    desktop.canAsk = true;
    PasswordRequired(&c, m, nullptr, 1);
    PasswordWindowCancel(&c);
    EXPECT_EQ(2u, audio.answers.size());
    EXPECT_EQ(1, m->userCancelled.load());
}

TEST_F(ControllerTest, BusyReceiverIsNamedAndClosesThePasswordWindow) {
    discovery.passwordFlags["Kitchen"] = 1;
    ConnectToSelectedService(&c, 1);
    ASSERT_EQ(1, c.passwordWindowOpen.load());
    DeviceInUse(&c, c.current);
    EXPECT_EQ(1, desktop.passwordClosed);
    EXPECT_EQ(0, c.passwordWindowOpen.load());
    ASSERT_EQ(1u, desktop.busyBoxes.size());
    EXPECT_EQ("Kitchen", desktop.busyBoxes[0]);
    EXPECT_NE(std::string::npos, log.find("\"Kitchen\" is currently in use.\n"));
    // Hosted mode has no receiver name to show: no box.
    ParseCommandLine("connect?host=127.0.0.1&key=k", &c.hosted);
    ASSERT_TRUE(ConnectToHost(&c));
    DeviceInUse(&c, c.current);
    EXPECT_EQ(1u, desktop.busyBoxes.size());
}

TEST_F(ControllerTest, ReminderCountsDownAndStopsMirroring) {
    Settings.values.mirroringReminder = 1;
    Settings.values.mirroringReminderMinutes = 15;
    ConnectToSelectedService(&c, 0);
    Establish(c.current);
    ASSERT_TRUE(desktop.timers[kReminderTimerId].active);
    EXPECT_EQ(15 * 60000, desktop.timers[kReminderTimerId].periodMs);
    EXPECT_FALSE(desktop.timers[kReminderTimerId].repeat);

    Fire(kReminderTimerId);
    const std::string head = "Ostrel is still mirroring to Den.  Would you like to continue "
                             "mirroring?  Mirroring will automatically disconnect in ";
    EXPECT_TRUE(desktop.reminderShown);
    EXPECT_EQ(head + "60 seconds.", desktop.reminderText);
    EXPECT_FALSE(desktop.timers[kReminderTimerId].active);
    ASSERT_TRUE(desktop.timers[kReminderCountdownTimerId].active);
    EXPECT_EQ(1000, desktop.timers[kReminderCountdownTimerId].periodMs);

    // "Continue" restarts the full period and no window comes before it.
    Fire(kReminderCountdownTimerId);
    Fire(kReminderCountdownTimerId);
    EXPECT_EQ(head + "59 seconds.", desktop.reminderText);
    ReminderContinue(&c);
    EXPECT_FALSE(desktop.reminderShown);
    EXPECT_FALSE(desktop.timers[kReminderCountdownTimerId].active);
    EXPECT_TRUE(desktop.timers[kReminderTimerId].active);
    EXPECT_EQ(15 * 60000, desktop.timers[kReminderTimerId].periodMs);

    // Unanswered: 60 ticks from 60 seconds down to 1 second, the 61st stops mirroring.
    Fire(kReminderTimerId);
    for (int tick = 1; tick <= 60; tick++) {
        Fire(kReminderCountdownTimerId);
        int left = 61 - tick;
        EXPECT_EQ(head + std::to_string(left) + (left == 1 ? " second." : " seconds."),
                  desktop.reminderText);
    }
    MirroringConnection *m = c.current;
    EXPECT_EQ(kMirroringStreaming, m->state.load());
    Fire(kReminderCountdownTimerId);
    EXPECT_EQ(kMirroringIdle, m->state.load());
    EXPECT_FALSE(desktop.reminderShown);
    EXPECT_FALSE(desktop.timers[kReminderCountdownTimerId].active);
    EXPECT_FALSE(desktop.timers[kReminderTimerId].active);
    EXPECT_EQ(0, c.reminderCount);
    EXPECT_NE(std::string::npos,
              log.find("No user response to mirroring reminder. Stop mirroring.\n"));
}

TEST_F(ControllerTest, ReminderStopButtonAndHostedSilentMode) {
    Settings.values.mirroringReminder = 1;
    ConnectToSelectedService(&c, 0);
    Establish(c.current);
    Fire(kReminderTimerId);
    ReminderStopMirroring(&c);
    EXPECT_FALSE(desktop.reminderShown);
    EXPECT_EQ(-1, c.selectedReceiverIndex.load());
    EXPECT_FALSE(desktop.timers[kReminderTimerId].active);
    EXPECT_FALSE(desktop.timers[kReminderCountdownTimerId].active);

    // The connection ends from the menu while the reminder is shown; the window stays until
    // answered, and neither answer starts a reminder for a connection that is gone.
    ConnectToSelectedService(&c, 0);
    Establish(c.current);
    Fire(kReminderTimerId);
    ASSERT_TRUE(desktop.reminderShown);
    ConnectToSelectedService(&c, 0);
    EXPECT_FALSE(desktop.timers[kReminderCountdownTimerId].active);
    ReminderCloseRequested(&c);
    EXPECT_FALSE(desktop.reminderShown);
    EXPECT_FALSE(desktop.timers[kReminderTimerId].active);
    desktop.reminderShown = true;
    ReminderContinue(&c);
    EXPECT_FALSE(desktop.reminderShown);
    EXPECT_FALSE(desktop.timers[kReminderTimerId].active);

    // Hosted and silent: port 47000 for audio and no reminder even when it is on.
    desktop.timers.clear();
    ParseCommandLine("connect?host=127.0.0.1&key=k&display=abc&hwnd=123", &c.hosted);
    ASSERT_TRUE(ConnectToHost(&c));
    EXPECT_EQ(kHostedAudioPort, c.current->audioPort);
    EXPECT_EQ(0, c.current->displayIndex);
    EXPECT_FALSE(desktop.timers[kReminderTimerId].active);
    // Not silent: the reminder starts.
    c.hosted.silent = false;
    ASSERT_TRUE(ConnectToHost(&c));
    EXPECT_TRUE(desktop.timers[kReminderTimerId].active);
    // The reminder text names no receiver in hosted mode.
    EXPECT_EQ(0u, ReminderText(&c, 5).find("Ostrel is still mirroring to .  Would"));
}

TEST_F(ControllerTest, AudioToggleSavesTheSettingAndDrivesALiveConnection) {
    ToggleAudio(&c); // not mirroring: only the preference flips
    EXPECT_TRUE(AudioEnabledFlag);
    EXPECT_NE(std::string::npos,
              ReadFileText(Settings.path).find("<key>AudioEnabled</key>\n\t<integer>1</integer>"));
    ConnectToSelectedService(&c, 0);
    EXPECT_EQ(1, c.current->audioOn) << "the next connection starts with audio";

    FakeAudio audio;
    ControllerSetAudio(&c, &kFakeAudio, &audio, nullptr);
    Establish(c.current);
    c.lastAudioFailure = 3;
    ToggleAudio(&c);
    EXPECT_EQ(1, audio.stops);
    EXPECT_EQ(0, c.current->audioOn);
    EXPECT_EQ(0, c.lastAudioFailure.load());
    EXPECT_FALSE(AudioEnabledFlag);
    EXPECT_NE(std::string::npos,
              ReadFileText(Settings.path).find("<key>AudioEnabled</key>\n\t<integer>0</integer>"));
    ToggleAudio(&c);
    EXPECT_EQ(1, audio.starts);
    EXPECT_EQ(1, c.current->audioOn);
    StopAudioForExit(&c);
    EXPECT_EQ(2, audio.stops);
    EXPECT_EQ(1, desktop.monitorStops);
}

TEST_F(ControllerTest, CaptureTargetAndSuspendResume) {
    CaptureManager *manager = CaptureManagerCreate(0.1, 2, 1, 0, 30);
    ASSERT_TRUE(manager);
    c.captureManager = manager;
    ChooseDisplay(&c, 1);
    EXPECT_EQ(1, c.chosenDisplayIndex);
    EXPECT_EQ(1, manager->displayIndex.load());

    CFValue *apps = CFArrayNew(1);
    CFValue *app = CFDictionaryNew(3);
    CFValue *hwnd = CFPointerNew(0x5000), *name = CFStringFromBytes("Editor", 0);
    CFDictionaryPutText(app, hwnd, "HWND");
    CFDictionaryPutText(app, name, "AppName");
    CFArrayPush(apps, app);
    CFValueRelease(hwnd);
    CFValueRelease(name);
    CFValueRelease(app);
    ControllerSetShownApps(&c, apps);
    CFValueRelease(apps);
    ChooseAppWindow(&c, kCommandFirstApp);
    EXPECT_EQ(0x5000u, c.chosenAppWindow.load());
    EXPECT_EQ(0x5000u, (uintptr_t)manager->window.load());
    EXPECT_EQ(0x5000u, desktop.activated);
    ChooseAppWindow(&c, kCommandFirstApp + 1);
    EXPECT_NE(std::string::npos, log.find("Failed to find selected App!\n"));
    ForgetAppWindow(manager, &c);
    EXPECT_EQ(0u, c.chosenAppWindow.load());
    ChooseDisplay(&c, 0);
    EXPECT_EQ(0u, (uintptr_t)manager->window.load());

    OnSuspend(&c);
    EXPECT_EQ(1, discovery.forgets);
    EXPECT_EQ(1, desktop.monitorStops);
    EXPECT_NE(std::string::npos, MenuText().find("(No Devices found)"));
    OnResume(&c);
    EXPECT_EQ(1, discovery.starts);
    EXPECT_EQ(1, desktop.monitorStarts);
    c.hosted.silent = true; // silent mode ignores both
    OnSuspend(&c);
    OnResume(&c);
    EXPECT_EQ(1, discovery.forgets);
    EXPECT_EQ(1, discovery.starts);
    c.captureManager = nullptr;
    CaptureManagerDestroy(manager);
}

// A connection's thread asks for the stored password while the main thread may replace
// it, and a password the user typed on the main thread is stored while the connection
// keeps using it: each side's reference outlives the other's.
TEST_F(ControllerTest, StoredPasswordOutlivesItsReplacementOnEitherSide) {
    CFValue *typed = CFStringFromBytes("typed", 0);
    PasswordChanged(&c, nullptr, typed);
    CFValueRelease(typed); // the connection lets go of what it handed over
    EXPECT_STREQ("typed", CFStringText(Settings.values.lastPassword));
    CFValue *out = nullptr;
    StoredPasswordQuery(&c, nullptr, &out, nullptr);
    ASSERT_TRUE(out);
    CFValue *next = CFStringFromBytes("next", 0);
    SettingsSetPassword(next); // the store lets go of "typed" while the connection holds it
    CFValueRelease(next);
    EXPECT_STREQ("typed", CFStringText(out));
    EXPECT_STREQ("next", CFStringText(Settings.values.lastPassword));
    CFValueRelease(out);

    // Both at once: the reader's strings stay whole while the store is replaced. The store
    // holds a string of the writer's form before the reader starts, so every read is judged
    // by the same rule.
    LogLevelThreshold = 3;
    CFValue *first = CFStringFromBytes("password-start", 0);
    SettingsSetPassword(first);
    CFValueRelease(first);
    struct Shared {
        std::atomic<int> stop{0};
        std::atomic<long> reads{0}, bad{0};
    } shared;
    Thread reader{};
    ASSERT_EQ(1, ThreadStart(
                     &reader, "pw-reader",
                     [](void *arg) {
                         Shared *s = static_cast<Shared *>(arg);
                         while (!s->stop.load()) {
                             CFValue *got = nullptr;
                             StoredPasswordQuery(nullptr, nullptr, &got, nullptr);
                             if (got) {
                                 const char *t = CFStringText(got);
                                 if (!t || strncmp(t, "password-", 9) != 0) s->bad++;
                                 CFValueRelease(got);
                             }
                             s->reads++;
                         }
                     },
                     &shared));
    for (int i = 0; i < 100000; i++) {
        CFValue *p = CFStringFromFormat("password-%d", i);
        SettingsSetPassword(p);
        CFValueRelease(p);
    }
    shared.stop = 1;
    ThreadJoin(&reader);
    EXPECT_GT(shared.reads.load(), 0);
    EXPECT_EQ(0, shared.bad.load());
}

} // namespace

// One session at a time: a speaker ends mirroring, a receiver ends the speaker's sound; the
// sound goes in the format each side's record names, and the speaker's own end clears it.
TEST_F(ControllerTest, SpeakerAndMirroringEndEachOther) {
    FakeSpeakerAudio speaker;
    ControllerSetAudio(&c, &kFakeSpeakerAudio, &speaker, nullptr);
    discovery.speakers = CFArrayNew(2);
    for (const char *name : {"AABBCCDDEEFF@Kitchen", "112233445566@Locked"}) {
        CFValue *s = CFStringFromBytes(name, 0);
        CFArrayPush(discovery.speakers, s);
        CFValueRelease(s);
    }
    std::string menu = MenuText();
    EXPECT_NE(std::string::npos, menu.find("[ ] (Speakers (sound only))"));
    EXPECT_NE(std::string::npos, menu.find("[ ] Kitchen #40960"));
    EXPECT_NE(std::string::npos, menu.find("[ ] (Locked (encrypted only)) #40961"));

    ConnectToSelectedService(&c, 0);
    ASSERT_EQ(1u, started.size());
    EXPECT_EQ(kAudioCodecAlac, started[0]->audioCodec) << "the receiver's record names ALAC";
    Establish(started[0]);

    ASSERT_TRUE(ConnectToSpeaker(&c, 0));
    EXPECT_EQ(2, started[0]->stopState.load()) << "mirroring ended first";
    EXPECT_EQ(-1, c.selectedReceiverIndex.load());
    EXPECT_EQ(1, speaker.starts);
    EXPECT_EQ("127.0.0.3", speaker.host);
    EXPECT_EQ(5100, speaker.port);
    EXPECT_EQ(kAudioCodecPcm, speaker.codec);
    EXPECT_EQ(0, ControllerSelectedSpeaker(&c));
    EXPECT_EQ(1, desktop.preventSleep) << "no picture: the display may sleep";
    EXPECT_EQ(1, desktop.allowSleep);
    EXPECT_TRUE(AudioEnabledFlag) << "choosing a speaker asks for sound";
    menu = MenuText();
    EXPECT_NE(std::string::npos, menu.find("[x] (Kitchen) #40960")) << menu;
    EXPECT_NE(std::string::npos, menu.find("(Audio: Connecting...)")) << menu;
    speaker.state = 9;
    menu = MenuText();
    EXPECT_NE(std::string::npos, menu.find("[x] Kitchen #40960")) << menu;
    EXPECT_NE(std::string::npos, menu.find("(Audio: Connected)")) << menu;
    EXPECT_NE(std::string::npos, menu.find("Disable Audio")) << menu;
    EXPECT_FALSE(ConnectToSpeaker(&c, 1)) << "an encrypted-only speaker is not sent to";
    EXPECT_EQ(1, speaker.starts);

    // A receiver chosen now: the speaker's sound ends before mirroring starts.
    ASSERT_TRUE(ConnectToSpeaker(&c, 0));
    ConnectToSelectedService(&c, 1);
    EXPECT_EQ(2, speaker.stops);
    EXPECT_EQ(-1, ControllerSelectedSpeaker(&c));
    ASSERT_EQ(2u, started.size());
    EXPECT_EQ(1, c.selectedReceiverIndex.load());
    EXPECT_EQ(0, ControllerSoundExitStatus(&c)) << "ended by the user";

    // The speaker closing its connection ends the session with the reason shown.
    ASSERT_TRUE(ConnectToSpeaker(&c, 0));
    speaker.state = 0;
    speaker.failure = kAudioDisconnectedByHost;
    SpeakerSoundWasDisconnected(&c, kAudioDisconnectedByHost);
    EXPECT_EQ(-1, ControllerSelectedSpeaker(&c));
    EXPECT_NE(std::string::npos, MenuText().find("(Audio: Disconnected Remotely)"));
    EXPECT_EQ(2, ControllerSoundExitStatus(&c));

    // The same speaker twice: the second choice stops it.
    ASSERT_TRUE(ConnectToSpeaker(&c, 0));
    EXPECT_FALSE(ConnectToSpeaker(&c, 0));
    EXPECT_EQ(-1, ControllerSelectedSpeaker(&c));
    EXPECT_NE(std::string::npos, log.find("User initiated sound-only disconnect\n"));
}
