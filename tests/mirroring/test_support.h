// Helpers shared by the mirroring tests: log capture, a private network namespace,
// child processes with bounded waits, and a small UDP client.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/log_capture.h"
#include "tests/support/private_network.h"

// Runs argv with stdout and stderr to files; kills it after timeoutMs. Returns the exit
// status (or -1 when it had to be killed or could not start).
struct ChildResult {
    int status = -1;
    std::string out;
    std::string err;
};
ChildResult RunChild(const std::vector<std::string> &argv, int timeoutMs);

// A child left running: started by StartChild, ended by StopChild (signal, then a
// bounded wait, then SIGKILL).
struct Child {
    int pid = -1;
    std::string outPath;
    std::string errPath;
};
Child StartChild(const std::vector<std::string> &argv);
ChildResult StopChild(Child &child, int signal, int timeoutMs);
std::string ReadFileText(const std::string &path);
bool WaitForFileText(const std::string &path, const std::string &needle, int timeoutMs);

// Sends one datagram to 127.0.0.1:port and waits up to timeoutMs for a reply.
// Returns the reply (empty when none came).
std::vector<uint8_t> UdpExchange(uint16_t port, const std::vector<uint8_t> &request, int timeoutMs);
