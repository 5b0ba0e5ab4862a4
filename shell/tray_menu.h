// The tray menu as data: built fresh for every showing from the controller's state, then
// drawn by the desktop layer. Tests read it without a display.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CFValue;
struct Controller;

// Command identifiers of the menu and the Preferences window.
enum TrayCommand : int32_t {
    kCommandOk = 1,
    kCommandCancel = 2,
    kCommandShowPreferences = 0x8001,
    kCommandHidePreferences = 0x8002,
    kCommandExit = 0x8003,
    kCommandPassword = 0x8004,
    kCommandToggleAudio = 0x8005,
    kCommandStatusText = 0x8007,
    kCommandFirstReceiver = 0x8008, // + i, i from 0 to 1024
    kCommandFirstDisplay = 0x8409,  // + i, i from 0 to 31
    kCommandHelp = 0x842C,
    kCommandFirstApp = 33850,
    // + i, i from 0 to 1023: speaker i of the speaker list. Far above the application
    // windows' numbers, which grow with the windows open.
    kCommandFirstSpeaker = 0xA000,
};
constexpr int32_t kMaxSpeakers = 1024;
// The heading over the speakers in the menu.
constexpr const char *kSpeakersHeading = "Speakers (sound only)";

enum MenuEntryKind : int32_t { kMenuItem = 0, kMenuSeparator = 1, kMenuSubmenu = 2 };

struct MenuEntry {
    int32_t kind;
    int32_t id;
    std::string text;
    bool enabled;
    bool greyed;
    bool checked;
    uintptr_t iconWindow; // window whose icon marks the entry; 0 none
    std::vector<MenuEntry> children;
};

// Everything the menu shows, read from the controller and the other subsystems.
struct TrayMenuInputs {
    bool preferencesVisible;
    bool servicesStarted;
    bool hasConnection;
    int32_t connectionState;
    int32_t connectionFailure;
    bool established;
    const CFValue *services; // CFArray of CFString, or null
    int32_t selectedIndex;
    const CFValue *displayNames; // CFArray of CFString, or null
    int32_t chosenDisplayIndex;
    uintptr_t chosenAppWindow;
    const CFValue *apps; // application records, or null
    bool hasAudioConnection;
    int32_t audioState; // 0 without an audio connection
    int32_t audioFailure;
    int32_t lastAudioFailure;
    bool audioEnabled;       // AudioEnabledFlag; the build may clear it
    const CFValue *speakers; // full sound-service names (CFArray of CFString), or null
    int32_t selectedSpeaker;
    std::vector<int32_t> speakerUnusable; // SpeakerUnusable per speaker; missing: usable
    bool speakerConnecting;               // the sound-only session is being set up
};

// The entries in order. in->audioEnabled is cleared when a remembered audio failure
// (other than 4) says audio is no longer on; the caller writes it back.
std::vector<MenuEntry> BuildTrayMenu(TrayMenuInputs *in);

// The window an application command identifier designates in apps, numbering from
// 33850 in the order the menu makes its items; 0 when none.
uintptr_t AppWindowForCommand(const CFValue *apps, int32_t commandId);

// The menu inputs from the controller and the process's lists. services, displays and
// apps are borrowed from the caller.
TrayMenuInputs TrayMenuInputsFrom(const Controller *c, bool preferencesVisible,
                                  bool servicesStarted, const CFValue *services,
                                  const CFValue *displayNames, const CFValue *apps);

// Adds the speakers (borrowed from the caller) and their state to in.
void TrayMenuAddSpeakers(const Controller *c, TrayMenuInputs *in, const CFValue *speakers);

// A readable outline of the entries, one per line ("[x] text #id", greyed as "(text)"),
// for tests and the log.
std::string DescribeMenu(const std::vector<MenuEntry> &entries, int depth = 0);
