// Fatal-signal handler. On SIGSEGV, SIGBUS, SIGILL, SIGFPE or SIGABRT it closes the log
// with its two final lines and writes "CrashLog_<time>.dmp" (signal, fault address,
// backtrace, /proc/self/maps) into the local data folder, then lets the signal end the
// process. Everything the handler does is async-signal-safe.
#pragma once

// Installs the handler on an alternate stack. The dump folder is fixed at install time.
// Returns 1 on success.
[[nodiscard]] int InstallCrashHandler();
// The folder the dump will go to (with trailing '/'); for tests and the log.
const char *CrashDumpFolder();
