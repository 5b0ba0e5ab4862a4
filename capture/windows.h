// The application windows that can be mirrored, as CFValue records for the tray menu.
// Everything here runs on the user-interface thread.
//
// Window record (CFDictionary), keys in this order: "HWND" (pointer range holding the
// window id), "WindowName" (escaped title), "ProcessID" (unsigned), "AppName" (escaped),
// "HWND_int" (signed, low 32 bits of the id). An application record is the first window
// record of its application plus "Children": a deep copy of that record followed by the
// application's other windows, sorted by "WindowName".
#pragma once

#include "capture/capture_types.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct CFValue;

// Reads the full path of a process's executable into path. Returns 1, or 0 when the
// process is gone or not ours to read.
typedef int (*QueryImageNameFn)(uint32_t processId, char *path, size_t capacity);

struct WindowTracker {
    int32_t excludeOwnWindows;       // 0 at creation; the shell sets 1 at start-up
    uint32_t ownProcessId;           // getpid() at creation
    QueryImageNameFn queryImageName; // /proc/PID/exe reader
};

// Makes the process-wide tracker on first call; later calls return the same one.
WindowTracker *WindowTrackerCreate();
// The tracker, or null before WindowTrackerCreate.
WindowTracker *ProcessWindowTracker();

// The application list (a new reference), or null when there is no tracker or no
// window qualifies.
CFValue *BuildAppList();
// The window records (a new reference), or null when no window qualifies.
CFValue *BuildWindowList();

// Executable file name of the process (a new reference), or null.
CFValue *ProcessExeName(uint32_t processId);
// Application name for a process (a new reference): the Name of the desktop entry that
// starts its executable or names its window class, else the window class, else "".
// Null when the process cannot be read.
CFValue *ProcessProductName(uint32_t processId, const char *windowClass);

// Escapes backslash, slash, line feed, tab, carriage return and double quote in place,
// in one pass; every other byte is kept.
void EscapeJsonText(std::string *text);

// ---- Portable pieces, used by the X11 layer and by tests ----

// A top-level window as the window system lists it.
struct WindowCandidate {
    WindowHandle window;
    std::string title;       // at most 253 bytes, cut at a character boundary
    uint32_t processId;      // 0 when unknown
    std::string windowClass; // WM_CLASS class
};

// Cuts text to at most 253 bytes without splitting a UTF-8 sequence.
void TruncateWindowTitle(std::string *text);
// True for the titles of desktop furniture that is never offered.
bool IsExcludedWindowTitle(const std::string &title);
// One window record (a new reference); title and app are escaped here.
CFValue *WindowRecordNew(WindowHandle window, const std::string &title, uint32_t processId,
                         const std::string &appName);
// Applies the naming and exclusion rules to candidates (in order). A new reference, or
// null when none qualifies.
CFValue *WindowListFromCandidates(const WindowTracker *tracker,
                                  const std::vector<WindowCandidate> &candidates);
// Groups window records into application records. Consumes nothing: windows keeps its
// reference. A new reference, or null when windows is null or empty.
CFValue *AppListFromWindows(CFValue *windows);

// The fields of a desktop entry's main group that name an application.
struct DesktopEntry {
    std::string name;    // Name
    std::string program; // file name of the program Exec starts ("env VAR=x" skipped)
    std::string tryExec; // file name of TryExec
    std::string wmClass; // StartupWMClass
};
// Parses the "[Desktop Entry]" group of a desktop file. Returns whether it has a Name.
bool DesktopEntryParse(const char *text, size_t length, DesktopEntry *entry);

// Desktop-entry lookup, for ProcessProductName and tests: the Name of the first entry in
// $XDG_DATA_HOME/applications, then each $XDG_DATA_DIRS/applications, whose
// StartupWMClass equals windowClass, else whose Exec or TryExec program is exeName.
// Empty when none matches.
std::string DesktopEntryName(const std::string &exeName, const std::string &windowClass);
