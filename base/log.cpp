#include "base/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

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
    int mode = LogOutputMode.load(std::memory_order_relaxed);
    if (mode == 1 || mode == 2) debugOutput.load()(debugOutputContext.load(), buffer, n);
    if (mode == 0 || mode == 2) {
        int fd = logFd.load(std::memory_order_acquire);
        if (fd >= 0) {
            ssize_t r = write(fd, buffer, n);
            (void)r;
        }
    }
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
    DebugLogAlways("Debug Log Started\n");
}

void CloseDebugLog() {
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
