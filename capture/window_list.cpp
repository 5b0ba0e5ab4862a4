#include "capture/windows.h"

#include "base/log.h"
#include "plist/cfvalue.h"

#include <unistd.h>

#include <cstring>
#include <mutex>

namespace {

std::mutex gTrackerLock;
WindowTracker *gTracker;

const char kOwnAppName[] = "Ostrel";

int ReadProcExe(uint32_t processId, char *path, size_t capacity) {
    if (capacity == 0) return 0;
    char link[64];
    snprintf(link, sizeof link, "/proc/%u/exe", processId);
    ssize_t n = readlink(link, path, capacity - 1);
    if (n <= 0) return 0;
    path[n] = '\0';
    return 1;
}

// The executable's full path through the tracker, or "".
std::string ImagePath(uint32_t processId) {
    WindowTracker *tracker = ProcessWindowTracker();
    QueryImageNameFn query =
        tracker && tracker->queryImageName ? tracker->queryImageName : ReadProcExe;
    char path[4096];
    if (processId == 0 || !query(processId, path, sizeof path)) return std::string();
    std::string result = path;
    // A replaced executable still names its old file, with this mark.
    const std::string deleted = " (deleted)";
    if (result.size() > deleted.size() &&
        result.compare(result.size() - deleted.size(), deleted.size(), deleted) == 0)
        result.resize(result.size() - deleted.size());
    return result;
}

std::string BaseName(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

WindowTracker *WindowTrackerCreate() {
    std::lock_guard<std::mutex> lock(gTrackerLock);
    if (!gTracker) {
        gTracker = new WindowTracker();
        gTracker->excludeOwnWindows = 0;
        gTracker->ownProcessId = (uint32_t)getpid();
        gTracker->queryImageName = ReadProcExe;
    }
    return gTracker;
}

WindowTracker *ProcessWindowTracker() {
    std::lock_guard<std::mutex> lock(gTrackerLock);
    return gTracker;
}

void EscapeJsonText(std::string *text) {
    std::string out;
    out.reserve(text->size() + 8);
    for (char c : *text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '/':
            out += "\\/";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '"':
            out += "\\\"";
            break;
        default:
            out += c;
            break;
        }
    }
    text->swap(out);
}

void TruncateWindowTitle(std::string *text) {
    const size_t limit = 253;
    if (text->size() <= limit) return;
    size_t cut = limit;
    // Step back over continuation bytes so no sequence is split.
    while (cut > 0 && ((unsigned char)(*text)[cut] & 0xC0) == 0x80)
        cut--;
    text->resize(cut);
}

bool IsExcludedWindowTitle(const std::string &title) {
    static const char *const kExcluded[] = {"Task Host Window", "DWM Notification Window",
                                            "Program Manager", "Start"};
    for (const char *t : kExcluded)
        if (title == t) return true;
    return false;
}

CFValue *ProcessExeName(uint32_t processId) {
    std::string path = ImagePath(processId);
    if (path.empty()) return nullptr;
    std::string name = BaseName(path);
    if (name.empty()) return nullptr;
    return CFStringFromBytes(name.data(), (int32_t)name.size());
}

CFValue *ProcessProductName(uint32_t processId, const char *windowClass) {
    std::string path = ImagePath(processId);
    if (path.empty()) return nullptr;
    std::string klass = windowClass ? windowClass : "";
    std::string name = DesktopEntryName(BaseName(path), klass);
    if (name.empty()) name = klass;
    return CFStringFromBytes(name.data(), (int32_t)name.size());
}

CFValue *WindowRecordNew(WindowHandle window, const std::string &title, uint32_t processId,
                         const std::string &appName) {
    std::string escapedTitle = title, escapedApp = appName;
    EscapeJsonText(&escapedTitle);
    EscapeJsonText(&escapedApp);
    CFValue *record = CFDictionaryNew(6);
    CFValue *values[] = {
        CFPointerNew((uintptr_t)window),
        CFStringFromBytes(escapedTitle.data(), (int32_t)escapedTitle.size()),
        CFNumberFromUnsigned(processId),
        CFStringFromBytes(escapedApp.data(), (int32_t)escapedApp.size()),
        CFNumberFromSigned((int32_t)(uint32_t)(window & 0xFFFFFFFFu)),
    };
    const char *keys[] = {"HWND", "WindowName", "ProcessID", "AppName", "HWND_int"};
    for (int i = 0; i < 5; i++) {
        CFDictionaryPut(record, values[i], CFStringConstant(keys[i]));
        CFValueRelease(values[i]);
    }
    return record;
}

CFValue *WindowListFromCandidates(const WindowTracker *tracker,
                                  const std::vector<WindowCandidate> &candidates) {
    CFValue *list = CFArrayNew(16);
    uint32_t self = (uint32_t)getpid();
    for (const WindowCandidate &candidate : candidates) {
        if (candidate.title.empty()) continue;
        if (tracker && tracker->excludeOwnWindows &&
            (candidate.processId == tracker->ownProcessId || candidate.processId == self))
            continue;
        CFValue *exe = ProcessExeName(candidate.processId);
        if (!exe) continue;
        CFValueRelease(exe);
        CFValue *app = ProcessProductName(candidate.processId, candidate.windowClass.c_str());
        std::string appName = app ? CFStringText(app) : candidate.title;
        CFValueRelease(app);
        if (appName == kOwnAppName) continue;
        CFValue *record =
            WindowRecordNew(candidate.window, candidate.title, candidate.processId, appName);
        CFArrayPush(list, record);
        CFValueRelease(record);
    }
    if (CFArrayCount(list) == 0) {
        CFValueRelease(list);
        return nullptr;
    }
    return list;
}

CFValue *AppListFromWindows(CFValue *windows) {
    uint32_t count = CFArrayCount(windows);
    if (count == 0) return nullptr;
    CFValue *appKey = CFStringConstant("AppName");
    CFValue *nameKey = CFStringConstant("WindowName");
    CFArraySortByKey(windows, 0, count - 1, appKey);
    CFValue *apps = CFArrayNew(count);
    for (uint32_t i = 0; i < count; i++) {
        CFValue *window = CFArrayGet(windows, i);
        if (!window) continue;
        CFValue *app = nullptr;
        for (uint32_t j = 0; j < CFArrayCount(apps) && !app; j++) {
            CFValue *candidate = CFArrayGet(apps, j);
            if (CFValueEqual(CFDictionaryFind(candidate, appKey), CFDictionaryFind(window, appKey)))
                app = candidate;
        }
        if (app) {
            CFValue *children = CFDictionaryFindText(app, "Children");
            CFArrayPush(children, window);
            CFArraySortByKey(children, 0, CFArrayCount(children) - 1, nameKey);
        } else {
            CFArrayPush(apps, window);
            CFValue *children = CFArrayNew(4);
            CFDictionaryPutText(window, children, "Children");
            CFValue *copy = CFValueCopy(window);
            CFArrayPush(children, copy);
            CFValueRelease(copy);
            CFValueRelease(children);
        }
    }
    return apps;
}

CFValue *BuildAppList() {
    if (!ProcessWindowTracker()) return nullptr;
    CFValue *windows = BuildWindowList();
    if (!windows) return nullptr;
    CFValue *apps = AppListFromWindows(windows);
    CFValueRelease(windows);
    return apps;
}
