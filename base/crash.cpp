#include "base/crash.h"

#include <csignal>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/folders.h"
#include "base/log.h"

namespace {

char dumpFolder[4096];
long utcOffsetSeconds; // fixed at install: localtime_r is not async-signal-safe
const int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
volatile sig_atomic_t handling = 0;

size_t Append(char *out, size_t at, size_t cap, const char *text) {
    while (*text && at + 1 < cap) out[at++] = *text++;
    out[at] = '\0';
    return at;
}

size_t AppendNumber(char *out, size_t at, size_t cap, unsigned long long value, int base,
                    int minDigits) {
    char digits[32];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value % base];
        value /= base;
    } while (value && n < 32);
    while (n < minDigits && n < 32) digits[n++] = '0';
    while (n > 0 && at + 1 < cap) out[at++] = digits[--n];
    out[at] = '\0';
    return at;
}

void WriteAll(int fd, const char *text, size_t length) {
    while (length > 0) {
        ssize_t w = write(fd, text, length);
        if (w <= 0) return;
        text += w;
        length -= (size_t)w;
    }
}

void LogRaw(const char *text) {
    int mode = LogOutputMode.load(std::memory_order_relaxed);
    size_t n = strlen(text);
    if (mode == 1 || mode == 2) WriteAll(STDERR_FILENO, text, n);
    int fd = DebugLogFd();
    if ((mode == 0 || mode == 2) && fd >= 0) WriteAll(fd, text, n);
}

// Civil date from days since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(long long z, int *year, int *month, int *day) {
    z += 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    unsigned doe = (unsigned)(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long y = (long long)yoe + era * 400;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    *day = (int)(doy - (153 * mp + 2) / 5 + 1);
    *month = (int)(mp < 10 ? mp + 3 : mp - 9);
    *year = (int)(y + (*month <= 2));
}

void Handler(int sig, siginfo_t *info, void *) {
    if (handling) {
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    handling = 1;
    LogRaw("Exception Occured, creating mini-dump\r\n");
    LogRaw("Debug Log Ended\r\n");
    int logFd = DebugLogFd();
    if (logFd >= 0) {
        fsync(logFd);
        // Later lines must not reach the file: stop writing to it.
        LogOutputMode.store(1);
    }

    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    long long local = (long long)now.tv_sec + utcOffsetSeconds;
    long long days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
    long secs = (long)(local - days * 86400);
    int year, month, day;
    CivilFromDays(days, &year, &month, &day);

    char path[4352];
    size_t at = Append(path, 0, sizeof path, dumpFolder);
    at = Append(path, at, sizeof path, "CrashLog_");
    at = AppendNumber(path, at, sizeof path, (unsigned)year, 10, 4);
    at = AppendNumber(path, at, sizeof path, (unsigned)month, 10, 2);
    at = AppendNumber(path, at, sizeof path, (unsigned)day, 10, 2);
    at = Append(path, at, sizeof path, "_");
    at = AppendNumber(path, at, sizeof path, (unsigned)(secs / 3600), 10, 2);
    at = AppendNumber(path, at, sizeof path, (unsigned)(secs / 60 % 60), 10, 2);
    at = AppendNumber(path, at, sizeof path, (unsigned)(secs % 60), 10, 2);
    Append(path, at, sizeof path, ".dmp");

    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        char line[256];
        size_t n = Append(line, 0, sizeof line, "signal ");
        n = AppendNumber(line, n, sizeof line, (unsigned)sig, 10, 1);
        n = Append(line, n, sizeof line, " (");
        n = Append(line, n, sizeof line, sigabbrev_np(sig) ? sigabbrev_np(sig) : "?");
        n = Append(line, n, sizeof line, ") code ");
        n = AppendNumber(line, n, sizeof line, (unsigned)(info ? info->si_code : 0), 10, 1);
        n = Append(line, n, sizeof line, " address 0x");
        n = AppendNumber(line, n, sizeof line, (unsigned long long)(uintptr_t)(info ? info->si_addr : nullptr), 16, 1);
        n = Append(line, n, sizeof line, " pid ");
        n = AppendNumber(line, n, sizeof line, (unsigned)getpid(), 10, 1);
        n = Append(line, n, sizeof line, " thread ");
        n = AppendNumber(line, n, sizeof line, (unsigned)gettid(), 10, 1);
        n = Append(line, n, sizeof line, "\nbacktrace:\n");
        WriteAll(fd, line, n);
        void *frames[64];
        int count = backtrace(frames, 64);
        backtrace_symbols_fd(frames, count, fd);
        WriteAll(fd, "maps:\n", 6);
        int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
        if (maps >= 0) {
            char buffer[4096];
            ssize_t r;
            while ((r = read(maps, buffer, sizeof buffer)) > 0) WriteAll(fd, buffer, (size_t)r);
            close(maps);
        }
        close(fd);
    }

    // Let the default action end the process with the original signal.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    raise(sig);
}

} // namespace

const char *CrashDumpFolder() { return dumpFolder; }

int InstallCrashHandler() {
    std::string folder = LocalDataFolder();
    snprintf(dumpFolder, sizeof dumpFolder, "%s", folder.c_str());
    time_t t = time(nullptr);
    struct tm local {};
    localtime_r(&t, &local);
    utcOffsetSeconds = local.tm_gmtoff;

    // backtrace loads its unwinder on first use; do that now, outside the handler.
    void *warm[2];
    backtrace(warm, 2);

    static char *altStack = nullptr;
    if (!altStack) {
        size_t size = 64 * 1024;
        altStack = new char[size];
        stack_t ss{};
        ss.ss_sp = altStack;
        ss.ss_size = size;
        if (sigaltstack(&ss, nullptr) != 0) return 0;
    }
    struct sigaction sa {};
    sa.sa_sigaction = Handler;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int sig : kSignals)
        if (sigaction(sig, &sa, nullptr) != 0) return 0;
    return 1;
}
