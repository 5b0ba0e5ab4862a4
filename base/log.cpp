#include "base/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "base/clock.h"

std::atomic<int> LogOutputMode{1};
std::atomic<int> LogLevelThreshold{0};

namespace {

std::atomic<int> logFd{-1};
char logPath[4096];

void WriteStderr(void *, const char *text, size_t length) {
    // One write per line; a short write on a pipe is not retried (log output is best effort).
    ssize_t r = write(STDERR_FILENO, text, length);
    (void)r;
}

std::atomic<DebugOutputFn> debugOutput{WriteStderr};
std::atomic<void *> debugOutputContext{nullptr};

// Writes text to the outputs the mode names.
void WriteOut(const char *text, size_t n) {
    int mode = LogOutputMode.load(std::memory_order_relaxed);
    if (mode == 1 || mode == 2) debugOutput.load()(debugOutputContext.load(), text, n);
    if (mode == 0 || mode == 2) {
        int fd = logFd.load(std::memory_order_acquire);
        if (fd >= 0) {
            ssize_t r = write(fd, text, n);
            (void)r;
        }
    }
}

// ---- folding of repeated lines ----
// A failure that repeats many times a second must not fill the disk. Lines are told apart by
// their format: per window, the first kLogFoldWrittenLines lines of one format are written and
// the rest only counted; once the window has passed, the count is written as one summary line
// and the next window is twice as long (up to kLogFoldMaxWindowS), so a lasting flood costs a
// few lines a minute. A format quiet for a whole window starts over at one second. Pending
// counts are written at the first line after their window, or when the log closes.

struct FoldSlot {
    const char *format;  // null: free
    int64_t windowStart; // monotonic nanoseconds
    int64_t window;      // nanoseconds
    uint64_t lines;      // lines of this format in the window, written or not
    int64_t lastUse;
    char last[kLogLineBuffer]; // the last line counted, without its line end
};

std::mutex foldLock;                // the slots, midLine and every write of a line
FoldSlot foldSlots[kLogFoldSlots];
bool midLine = false; // the last text written did not end its line: nothing goes between

uint64_t Repeats(const FoldSlot &slot) {
    return slot.lines > (uint64_t)kLogFoldWrittenLines ? slot.lines - kLogFoldWrittenLines : 0;
}

// Caller holds foldLock.
void WriteSummary(const FoldSlot &slot) {
    char summary[kLogLineBuffer + 96];
    int n = snprintf(summary, sizeof summary, "... repeated %llu times within %lld s: %s\r\n",
                     (unsigned long long)Repeats(slot), (long long)(slot.window / 1000000000),
                     slot.last);
    if (n <= 0) return;
    size_t length = (size_t)n < sizeof summary ? (size_t)n : sizeof summary - 1;
    WriteOut(summary, length);
}

// Caller holds foldLock. Writes the counts whose window has passed (all with force).
void FlushFolds(int64_t now, bool force) {
    if (midLine) return;
    for (FoldSlot &slot : foldSlots) {
        if (!slot.format || Repeats(slot) == 0) continue;
        if (!force && now < slot.windowStart + slot.window) continue;
        WriteSummary(slot);
        // The flood may go on: its next window is longer.
        int64_t longer = slot.window * 2;
        slot.window = longer > kLogFoldMaxWindowS * 1000000000LL ? kLogFoldMaxWindowS * 1000000000LL
                                                                  : longer;
        slot.windowStart = now;
        slot.lines = kLogFoldWrittenLines; // the window after a summary starts folded
    }
}

// Caller holds foldLock. True when the line is only counted.
bool FoldLine(const char *format, const char *text, size_t n, int64_t now) {
    FoldSlot *slot = nullptr, *oldest = &foldSlots[0];
    for (FoldSlot &candidate : foldSlots) {
        if (candidate.format == format) slot = &candidate;
        if (!candidate.format || (oldest->format && candidate.lastUse < oldest->lastUse))
            oldest = &candidate;
    }
    if (!slot) {
        slot = oldest;
        if (slot->format && Repeats(*slot) > 0) WriteSummary(*slot);
        slot->format = format;
        slot->windowStart = now;
        slot->window = 1000000000LL;
        slot->lines = 0;
    } else if (now >= slot->windowStart + slot->window) {
        // Quiet for a whole window (a pending count was written by FlushFolds just before).
        if (slot->lines <= (uint64_t)kLogFoldWrittenLines) slot->window = 1000000000LL;
        slot->windowStart = now;
        slot->lines = 0;
    }
    slot->lastUse = now;
    slot->lines++;
    if (slot->lines <= (uint64_t)kLogFoldWrittenLines) return false;
    size_t keep = n;
    while (keep > 0 && (text[keep - 1] == '\n' || text[keep - 1] == '\r')) keep--;
    memcpy(slot->last, text, keep);
    slot->last[keep] = 0;
    return true;
}

void EmitLine(const char *format, va_list args) {
    char buffer[kLogLineBuffer];
    int formatted = vsnprintf(buffer, sizeof buffer, format, args);
    if (formatted < 0) return;
    size_t n = strnlen(buffer, sizeof buffer - 1);
    // Only the final line end becomes CR LF, and only while the text still fits.
    if (n >= 2 && n < kLogLineBuffer - 2 && buffer[n - 1] == '\n' && buffer[n - 2] != '\r') {
        buffer[n - 1] = '\r';
        buffer[n] = '\n';
        buffer[n + 1] = '\0';
        n++;
    }
    int64_t now = MonotonicNanos();
    std::lock_guard<std::mutex> hold(foldLock);
    FlushFolds(now, false);
    // Only whole lines are folded: the pieces of one line built by several calls stay whole.
    bool whole = n > 0 && buffer[n - 1] == '\n';
    if (whole && !midLine && FoldLine(format, buffer, n, now)) return;
    WriteOut(buffer, n);
    midLine = n > 0 && buffer[n - 1] != '\n';
}

// Writes every pending count and forgets the formats seen (a new log or output).
void ResetFolds() {
    std::lock_guard<std::mutex> hold(foldLock);
    midLine = false;
    FlushFolds(MonotonicNanos(), true);
    for (FoldSlot &slot : foldSlots)
        slot.format = nullptr;
}

} // namespace

void DebugLog(int level, const char *format, ...) {
    if (level < LogLevelThreshold.load(std::memory_order_relaxed)) return;
    va_list args;
    va_start(args, format);
    EmitLine(format, args);
    va_end(args);
}

void DebugLogAlways(const char *format, ...) {
    va_list args;
    va_start(args, format);
    EmitLine(format, args);
    va_end(args);
}

void SetDebugLogPath(const char *path) { snprintf(logPath, sizeof logPath, "%s", path ? path : ""); }

const char *DebugLogPath() { return logPath; }

void SetDebugOutput(DebugOutputFn output, void *context) {
    ResetFolds();
    debugOutputContext.store(context);
    debugOutput.store(output ? output : WriteStderr);
}

int DebugLogFd() { return logFd.load(); }

void OpenDebugLog() {
    LogLevelThreshold = 2;
    LogOutputMode = 2;
    // Others may read the log while it is written (Locate Log File copies it).
    int fd = open(logPath, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        static const char failed[] = "Failed to open log file...\r\n";
        debugOutput.load()(debugOutputContext.load(), failed, sizeof failed - 1);
    } else {
        int old = logFd.exchange(fd);
        if (old >= 0) close(old);
    }
    ResetFolds();
    DebugLogAlways("Debug Log Started\n");
}

void FlushRepeatedLogLines() { ResetFolds(); }

void CloseDebugLog() {
    ResetFolds();
    DebugLogAlways("Debug Log Ended\n");
    int fd = logFd.exchange(-1);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

namespace {

std::string OsReleaseName() {
    FILE *f = fopen("/etc/os-release", "re");
    if (!f) return "Linux";
    char line[512];
    std::string pretty, name;
    while (fgets(line, sizeof line, f)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        auto value = [&](size_t skip) {
            std::string v = s.substr(skip);
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.substr(1, v.size() - 2);
            return v;
        };
        if (s.rfind("PRETTY_NAME=", 0) == 0) pretty = value(12);
        else if (s.rfind("NAME=", 0) == 0) name = value(5);
    }
    fclose(f);
    if (!pretty.empty()) return pretty;
    return name.empty() ? "Linux" : name;
}

} // namespace

void LogSystemInfo() {
    DebugLog(2, "***System Info***\n");
    int osIs64 = 0;
    struct utsname u {};
    bool haveUname = uname(&u) == 0;
    if (haveUname) osIs64 = strstr(u.machine, "64") != nullptr;
    DebugLog(2, "Application is 64 bit: %i OS is 64 bit: %i\n", (int)(sizeof(void *) == 8), osIs64);
    DebugLog(2, "Number of processors: %i\n", (int)sysconf(_SC_NPROCESSORS_ONLN));
    DebugLog(2, "Page Size: %i\n", (int)sysconf(_SC_PAGESIZE));
    // The lowest address a mapping may take and the top of the user address space.
    unsigned long minAddress = 0x10000;
    if (FILE *f = fopen("/proc/sys/vm/mmap_min_addr", "re")) {
        if (fscanf(f, "%lu", &minAddress) != 1) minAddress = 0x10000;
        fclose(f);
    }
    unsigned long maxAddress = sizeof(void *) == 8 ? 0x7ffffffeffffUL : 0xbfffffffUL;
    DebugLog(2, "Minimum Application Address: %lx\n", minAddress);
    DebugLog(2, "Maximum Application Address: %lx\n", maxAddress);
    DebugLog(2, "Processor architecture: ");
    if (haveUname) {
        const char *m = u.machine;
        if (!strcmp(m, "x86_64")) DebugLog(2, "AMD64\n");
        else if (m[0] == 'i' && strstr(m, "86")) DebugLog(2, "INTEL\n");
        else if (!strncmp(m, "arm", 3) || !strcmp(m, "aarch64")) DebugLog(2, "ARM\n");
        else if (!strcmp(m, "ia64")) DebugLog(2, "IA64\n");
        else DebugLog(2, "UNKNOWN\n");
    } else {
        DebugLog(2, "UNKNOWN\n");
    }
    std::string os = OsReleaseName();
    if (haveUname) DebugLog(2, "Active OS: %s (kernel %s)\n", os.c_str(), u.release);
    else DebugLog(2, "Active OS: %s\n", os.c_str());
    DebugLog(2, "***System Info***\n");
}
