// Helpers shared by the net tests: loopback listeners and sockets, besides the shared ones
// (log capture, bounded waits, child processes).
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/log.h"
#include "tests/support/child_process.h"
#include "tests/support/log_capture.h"
#include "tests/support/wait.h"

// A TCP listener on 127.0.0.1 with a system-chosen port.
struct LoopbackListener {
    int fd = -1;
    uint16_t port = 0;
    explicit LoopbackListener(int backlog = 8) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(fd, (sockaddr *)&address, sizeof address) == 0 && listen(fd, backlog) == 0 &&
            getsockname(fd, (sockaddr *)&address, &size) == 0)
            port = ntohs(address.sin_port);
    }
    ~LoopbackListener() {
        if (fd >= 0) close(fd);
    }
    // Accepts one connection, waiting at most timeoutMs; -1 on time-out.
    int Accept(int timeoutMs = 5000);
};

// Sends everything (blocking); false on error.
bool SendAll(int fd, const void *data, size_t length);
// Reads exactly length bytes within timeoutMs; returns what was read.
std::string ReadExactly(int fd, size_t length, int timeoutMs = 5000);
// Reads one HTTP message head plus a Content-Length body within timeoutMs ("" on time-out).
std::string ReadHttpMessage(int fd, int timeoutMs = 5000);
// A connected TCP client socket to 127.0.0.1:port, or -1.
int ConnectLoopback(uint16_t port);
// A port on 127.0.0.1 that nothing listens on (bound, then closed).
uint16_t UnusedLoopbackPort();
