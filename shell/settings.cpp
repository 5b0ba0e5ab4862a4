#include "shell/settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/folders.h"
#include "base/log.h"
#include "plist/cfvalue.h"
#include "plist/plist.h"

SettingsStore Settings;
bool AudioEnabledFlag = false;

namespace {

constexpr int kMaxSettingsBytes = 4096;
constexpr int32_t kNoXmlText = (int32_t)0xFE00BAD1;

CFValue *IntString(int value) {
    char text[128];
    snprintf(text, sizeof text, "%i", value);
    return CFStringFromBytes(text, 0);
}

void Put(CFValue *dictionary, CFValue *value, const char *key) {
    CFDictionaryPutText(dictionary, value, key);
    CFValueRelease(value);
}

// The string under key, or null when absent or of another kind.
const CFValue *StringAt(const CFValue *root, const char *key) {
    const CFValue *v = CFDictionaryFindText(root, key);
    return CFValueIsKind(v, kCFString) ? v : nullptr;
}

bool FileExists(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// Copies from to to unless to exists; the copy appears whole or not at all.
void CopyIfMissing(const std::string &from, const std::string &to) {
    if (FileExists(to) || !FileExists(from)) return;
    CFValue *data = CFDataFromFile(from.c_str());
    if (!data) return;
    std::string temp = to + ".part";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok =
        fd >= 0 && write(fd, CFDataBytes(data), CFDataLength(data)) == (ssize_t)CFDataLength(data);
    if (fd >= 0 && close(fd) != 0) ok = false;
    // link() fails when the target appeared meanwhile: an existing file is never replaced.
    if (ok) link(temp.c_str(), to.c_str());
    unlink(temp.c_str());
    CFValueRelease(data);
}

} // namespace

std::string ScramblePassword(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        char c = (char)((unsigned char)text[i] ^ (unsigned char)(i & 0xFF));
        if (c == '\0') break;
        out.push_back(c);
    }
    return out;
}

void SettingsDefaults(SettingsValues *v) {
    if (v->lastPassword) CFValueRelease(v->lastPassword);
    // The value the stored form reads back ("10" / 100), so a first start and every later
    // start give the same picture size.
    v->overscan = 10 / 100.0;
    v->quality = 2;
    v->maxFps = 30;
    v->mirroringReminder = 0;
    v->mirroringReminderMinutes = 30;
    v->showMouse = 1;
    v->audioEnabled = 0;
    v->force720p = 0;
    v->lastPassword = nullptr;
    v->legacyVideo = 1;
}

CFValue *SettingsToDictionary(const SettingsValues *v) {
    CFValue *d = CFDictionaryNew(8);
    Put(d, IntString((int)(v->overscan * 100.0)), "Overscan");
    Put(d, IntString(v->quality), "Quality");
    Put(d, IntString(v->maxFps), "MaxFPS");
    Put(d, IntString(v->mirroringReminder), "MirroringReminder");
    Put(d, IntString(v->mirroringReminderMinutes), "MirroringReminderMinutes");
    Put(d, IntString(v->showMouse), "ShowMouse");
    Put(d, CFNumberFromUnsigned((uint32_t)v->audioEnabled), "AudioEnabled");
    Put(d, IntString(v->force720p), "Force720p");
    if (v->lastPassword) {
        std::string scrambled = ScramblePassword(CFStringText(v->lastPassword));
        Put(d, CFStringFromBytes(scrambled.c_str(), (int32_t)scrambled.size()), "LastPassword");
    }
    Put(d, CFNumberFromBool(v->legacyVideo), "LegacyVideo");
    return d;
}

void SettingsFromDictionary(SettingsValues *v, const CFValue *root) {
    if (const CFValue *s = StringAt(root, "Overscan")) v->overscan = atoi(CFStringText(s)) / 100.0;
    if (const CFValue *s = StringAt(root, "Quality")) v->quality = atoi(CFStringText(s));
    if (const CFValue *s = StringAt(root, "MaxFPS")) v->maxFps = atoi(CFStringText(s));
    if (const CFValue *s = StringAt(root, "ShowMouse")) v->showMouse = atoi(CFStringText(s));
    if (const CFValue *s = StringAt(root, "Force720p")) v->force720p = atoi(CFStringText(s));
    if (const CFValue *s = StringAt(root, "LastPassword")) {
        // Read into a 128-byte buffer: at most 127 stored bytes count.
        std::string stored(CFStringText(s), strnlen(CFStringText(s), 127));
        std::string clear = ScramblePassword(stored);
        if (v->lastPassword) CFValueRelease(v->lastPassword);
        v->lastPassword = CFStringFromBytes(clear.c_str(), (int32_t)clear.size());
    }
    v->legacyVideo = 1;
    const CFValue *audio = CFDictionaryFindText(root, "AudioEnabled");
    v->audioEnabled = audio ? CFNumberGetBool(audio) : 0;
    const CFValue *reminder = CFDictionaryFindText(root, "MirroringReminder");
    v->mirroringReminder = reminder ? CFNumberGetBool(reminder) : 0;
    const CFValue *minutes = StringAt(root, "MirroringReminderMinutes");
    v->mirroringReminderMinutes = minutes ? atoi(CFStringText(minutes)) : 30;
}

void SettingsOpen() {
    std::string folder = DataFolder();
    Settings.path = folder + "Settings.xml";
    if (ShouldUseRoamingFolder("Ostrel"))
        CopyIfMissing(LocalDataFolder() + "Settings.xml", Settings.path);
    Settings.values.lastPassword = nullptr;
    SettingsDefaults(&Settings.values);
    if (!FileExists(Settings.path)) {
        SettingsSave();
    } else {
        SettingsLoad();
    }
    AudioEnabledFlag = Settings.values.audioEnabled == 1;
}

void SettingsLoad() {
    int fd = open(Settings.path.c_str(), O_RDONLY | O_CLOEXEC);
    char buffer[kMaxSettingsBytes];
    ssize_t got = 0;
    if (fd >= 0) {
        while (got < kMaxSettingsBytes) {
            ssize_t r = read(fd, buffer + got, kMaxSettingsBytes - got);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            got += r;
        }
        close(fd);
    }
    CFValue *root = got > 0 ? PlistParseBytes(buffer, (size_t)got) : nullptr;
    if (!CFValueIsKind(root, kCFDictionary)) {
        SettingsDefaults(&Settings.values);
    } else {
        SettingsFromDictionary(&Settings.values, root);
    }
    CFValueRelease(root);
    AudioEnabledFlag = Settings.values.audioEnabled == 1;
}

int SettingsSave() {
    // One save at a time (a new password may be saved from a connection's thread), and
    // the password read under the same lock.
    std::lock_guard<std::mutex> hold(Settings.passwordLock);
    CFValue *dictionary = SettingsToDictionary(&Settings.values);
    CFValue *xml = PlistToXML(dictionary);
    CFValueRelease(dictionary);
    if (!xml || CFStringLength(xml) == 0) {
        DebugLog(2, "Failed to save settings: %i\n", kNoXmlText);
        CFValueRelease(xml);
        return 0;
    }
    // Written beside the old file and renamed over it, so a failed write never leaves a
    // half file behind.
    std::string temp = Settings.path + ".part";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int result = 0;
    if (fd < 0) {
        DebugLog(2, "Failed to save settings: %i\n", errno);
    } else {
        ssize_t w = write(fd, CFStringText(xml), CFStringLength(xml));
        int writeError = w == (ssize_t)CFStringLength(xml) ? 0 : (w < 0 ? errno : ENOSPC);
        if (close(fd) != 0 && !writeError) writeError = errno;
        if (!writeError && rename(temp.c_str(), Settings.path.c_str()) != 0) writeError = errno;
        if (writeError) {
            DebugLog(2, "Failed to save settings: %i\n", writeError);
            unlink(temp.c_str());
        } else {
            result = 1;
        }
    }
    CFValueRelease(xml);
    return result;
}

// The store shares the password it is given and hands out references to it; the lock
// keeps it from being replaced while one is taken.
void SettingsSetPassword(CFValue *password) {
    CFValue *kept = CFValueRetain(password);
    CFValue *old;
    {
        std::lock_guard<std::mutex> hold(Settings.passwordLock);
        old = Settings.values.lastPassword;
        Settings.values.lastPassword = kept;
    }
    if (old) CFValueRelease(old);
}

CFValue *SettingsCopyPassword() {
    std::lock_guard<std::mutex> hold(Settings.passwordLock);
    return CFValueRetain(Settings.values.lastPassword);
}

bool AutoUpdatesDisabled() {
    DebugLog(2, "Check if auto-updates are disabled\n");
    std::string value;
    int source = 0;
    if (!ReadRegistrySwitch("Ostrel", "DisableAutoUpdates", true, &value, &source) ||
        value.empty()) {
        DebugLog(0, "DisableAutoUpdates: no value\n");
        DebugLog(2, "  Continue automatically checking for updates\n");
        return false;
    }
    const char *where = source == 1 ? "current_user" : "local_machine";
    DebugLog(0, "DisableAutoUpdates (%s): %s\n", where, value.c_str());
    if (SwitchTextIsTrue(value)) {
        DebugLog(2, "  Disable automatic check for updates (%s)\n", where);
        return true;
    }
    DebugLog(2, "  Continue automatically checking for updates (%s)\n", where);
    return false;
}
