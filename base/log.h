// Process-wide log facility. Every thread may call DebugLog and DebugLogAlways; each
// line goes out with single write calls under one short lock, so lines from different
// threads interleave only at line boundaries. A line repeated many times a second is
// folded: per format, the first kLogFoldWrittenLines lines of a window are written, the
// rest counted and summarised as "... repeated N times within S s: <last line>". The
// crash handler writes to DebugLogFd() itself and takes no lock. The state below is
// written only by start-up (and the crash handler).
#pragma once

#include <atomic>
#include <cstddef>

// 0: file only; 1: debugger output (standard error) only; 2: both; other: nowhere.
extern std::atomic<int> LogOutputMode;
// DebugLog drops a line whose level is below this value.
extern std::atomic<int> LogLevelThreshold;

constexpr size_t kLogLineBuffer = 4096;
// Folding: lines of one format written per window before the rest are only counted (enough
// that a burst such as the start-up's adapter list stays whole), the
// formats followed at once, and the longest window a lasting flood grows to.
constexpr int kLogFoldWrittenLines = 20;
constexpr int kLogFoldSlots = 8;
constexpr int kLogFoldMaxWindowS = 64;

void DebugLog(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void DebugLogAlways(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Sets the path OpenDebugLog creates (start-up sets it to DataFolder + "Ostrel.log").
void SetDebugLogPath(const char *path);
const char *DebugLogPath();

// Creates the log file anew, raises the threshold to 2 and the mode to 2, logs
// "Debug Log Started". On failure the log goes on to standard error only.
void OpenDebugLog();
// Logs "Debug Log Ended", then flushes and closes the file if one is open.
void CloseDebugLog();
// Writes the counts of folded lines now, and starts folding afresh.
void FlushRepeatedLogLines();
// Descriptor of the open log file, or -1. For the crash handler.
int DebugLogFd();

// The "debugger output". Defaults to standard error; tests capture it.
typedef void (*DebugOutputFn)(void *context, const char *text, size_t length);
void SetDebugOutput(DebugOutputFn output, void *context);

// Writes the system information block at level 2.
void LogSystemInfo();
