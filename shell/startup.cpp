#include "shell/startup.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "base/crash.h"
#include "base/folders.h"
#include "base/log.h"

int AcquireSingleInstanceLock() {
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    std::string folder = runtime && runtime[0] == '/' ? std::string(runtime) + "/" : LocalDataFolder();
    std::string path = folder + "Ostrel.lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

namespace {

void LogVersion() {
    unsigned parts[4] = {0, 0, 0, 0};
    int n = sscanf(OSTREL_VERSION, "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
    if (n >= 1)
        DebugLog(2, "Ostrel for Linux (%u.%u.%u.%u)\n", parts[0], parts[1], parts[2], parts[3]);
    else
        DebugLog(2, "Ostrel for Linux (Unknown)\n");
}

void LogTimerResolution() {
    timespec res{};
    if (clock_getres(CLOCK_MONOTONIC, &res) != 0) {
        DebugLog(2, "Failed to enable fast timing!\n");
        return;
    }
    // The monotonic clock needs no resolution request; report what it gives, in whole ms.
    long long ns = (long long)res.tv_sec * 1000000000LL + res.tv_nsec;
    int ms = (int)((ns + 999999) / 1000000);
    DebugLog(2, "System timing minimum resolution: %i ms\n", ms < 1 ? 1 : ms);
}

} // namespace

int StartProgram(StartupState *state) {
    if (state->lockFd < 0) state->lockFd = AcquireSingleInstanceLock();
    if (state->lockFd < 0) return 0;
    state->dataFolder = DataFolder();
    SetDebugLogPath((state->dataFolder + "Ostrel.log").c_str());
    OpenDebugLog();
    LogVersion();
    LogSystemInfo();
    LogTimerResolution();
    if (!InstallCrashHandler()) DebugLog(2, "Failed to install the crash handler\n");
    return 1;
}

void EndProgram(StartupState *state) {
    CloseDebugLog();
    if (state->lockFd >= 0) close(state->lockFd);
    state->lockFd = -1;
}
