// Program start-up and teardown, run on the main thread.
#pragma once

#include <string>

struct StartupState {
    int lockFd;             // single-instance lock, held for the life of the process
    std::string dataFolder; // with trailing '/', or empty (files relative to the cwd)
};

// Takes the single-instance lock "Ostrel.lock" in $XDG_RUNTIME_DIR (else the local data
// folder). Returns the descriptor, or -1 when another copy holds it.
[[nodiscard]] int AcquireSingleInstanceLock();

// The lock (unless state already holds it), data folder, log, version line, system information, timer resolution, crash handler.
// Returns 1 on success; 0 when another instance runs (nothing logged).
[[nodiscard]] int StartProgram(StartupState *state);
// Closes the log and releases the lock.
void EndProgram(StartupState *state);
