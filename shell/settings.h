// The user's preferences, in memory and in "Settings.xml" in the data folder.
// Opened once at start-up; read and written on the main thread (a new password may be
// stored from a connection thread). No lock.
#pragma once

#include <mutex>
#include <string>

struct CFValue;

struct SettingsValues {
    double overscan;              // fraction, 0.0 to 0.2 from the slider
    int quality;                  // 0 to 3; the capture manager gets quality + 2
    int maxFps;                   // 10 to 60 from the slider; not clamped on load
    int mirroringReminder;        // 0/1
    int mirroringReminderMinutes; // 15, 30, 45 or 60 offered
    int showMouse;                // 0/1
    int audioEnabled;             // 0/1
    int force720p;                // 0/1
    CFValue *lastPassword;        // owned string or null; released when replaced
    int legacyVideo;              // always 1 after a load
};

struct SettingsStore {
    std::string path; // the settings file
    SettingsValues values;
    std::mutex passwordLock; // values.lastPassword against a connection thread; saves
};

// The process-wide store and the run-time audio switch the controller toggles.
extern SettingsStore Settings;
extern bool AudioEnabledFlag;

void SettingsDefaults(SettingsValues *values);
// Settings file path (copying a local Settings.xml to a first-time roaming folder), the
// defaults, then the file: saved when missing, loaded otherwise.
void SettingsOpen();
void SettingsLoad();
// Returns 1 when the file was written.
int SettingsSave();

// Dictionary form, keys in their fixed order: a new reference.
CFValue *SettingsToDictionary(const SettingsValues *values);
// Takes the known keys from a parsed root dictionary.
void SettingsFromDictionary(SettingsValues *values, const CFValue *root);

// XOR of each byte with its position; applying it twice gives the text back. The result
// ends at the first zero byte.
std::string ScramblePassword(const std::string &text);

// True when the "DisableAutoUpdates" switch says so (user, then machine).
bool AutoUpdatesDisabled();
// The stored password is handed between threads: a connection's thread reads it while the
// main thread may replace it. Both go through the store's lock.
// Stores password (retained; null clears it) in place of the stored one.
void SettingsSetPassword(CFValue *password);
// A new reference to the stored password, or null.
[[nodiscard]] CFValue *SettingsCopyPassword();
