// Child processes for tests: started with their output where the test wants it, ended within a
// bounded wait, always reaped (PID 1 here does not reap orphans).
#pragma once

#include <csignal>
#include <string>
#include <sys/types.h>
#include <vector>

// Where a child's output goes. Standard input always reads /dev/null.
struct ChildOutput {
    // Files standard output and standard error are appended to (created when missing; the
    // same path for both shares one file, "/dev/null" discards); "" keeps the test's own.
    std::string out{};
    std::string err{};
    // When given, standard output goes into a pipe instead, and its read end (non-blocking,
    // close-on-exec) is stored here for the caller to read and close.
    int *outPipe = nullptr;
};

// Starts argv[0] (looked up in PATH) with the given output. The child inherits the test's
// environment (prefix "env", "NAME=value" to change it) and its descriptors that are not
// close-on-exec. Returns the pid, or -1 when the program could not be started.
pid_t SpawnChild(const std::vector<std::string> &argv, const ChildOutput &output = {});

// Waits up to timeoutMs (0: only looks) for the child to end; true when it did, with the
// wait status in *waitStatus. The child is reaped then.
bool WaitChild(pid_t pid, int timeoutMs, int *waitStatus);

// Sends signal (none when 0), waits up to timeoutMs, then kills with SIGKILL; reaps the child
// in every case. Returns its wait status, or -1 for no child.
int EndChild(pid_t pid, int signal = SIGTERM, int timeoutMs = 5000);

// The exit code in a wait status; -1 when the child did not exit normally.
int ExitCode(int waitStatus);

// A child whose output goes to files in a temporary folder of its own.
struct Child {
    pid_t pid = -1;
    std::string outPath;
    std::string errPath;
};
struct ChildResult {
    int status = -1; // exit code; -1 when it could not start, was killed or died by a signal
    std::string out{};
    std::string err{};
};
Child StartChild(const std::vector<std::string> &argv);
// Ends the child as EndChild does, then returns its exit code and output and removes its
// folder.
ChildResult StopChild(Child &child, int signal, int timeoutMs);
// StartChild, then StopChild without a signal: a child still running after timeoutMs is killed.
ChildResult RunChild(const std::vector<std::string> &argv, int timeoutMs);

// Runs shellCommand with /bin/sh and returns its standard output (standard error stays the
// test's own). *exitCode, when given, receives ExitCode of its status, or -1 when it could not
// be run. The command bounds its own running time.
std::string RunCommand(const std::string &shellCommand, int *exitCode = nullptr);
