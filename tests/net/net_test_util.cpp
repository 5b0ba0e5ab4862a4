#include "net_test_util.h"

#include <cstdlib>
#include <poll.h>

int LoopbackListener::Accept(int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return -1;
    return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
}

bool SendAll(int fd, const void *data, size_t length) {
    const char *bytes = (const char *)data;
    while (length > 0) {
        ssize_t sent = send(fd, bytes, length, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        bytes += sent;
        length -= (size_t)sent;
    }
    return true;
}

static bool ReadSome(int fd, std::string *into, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return false;
    char buffer[65536];
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    into->append(buffer, (size_t)got);
    return true;
}

std::string ReadExactly(int fd, size_t length, int timeoutMs) {
    std::string data;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (data.size() < length) {
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                       deadline - std::chrono::steady_clock::now())
                       .count();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) != 1) break;
        char buffer[65536];
        size_t want = length - data.size();
        ssize_t got = recv(fd, buffer, want < sizeof buffer ? want : sizeof buffer, 0);
        if (got <= 0) break;
        data.append(buffer, (size_t)got);
    }
    return data;
}

std::string ReadHttpMessage(int fd, int timeoutMs) {
    std::string data;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t end = data.find("\r\n\r\n");
        if (end != std::string::npos) {
            size_t bodyLength = 0;
            size_t at = data.find("Content-Length: ");
            if (at != std::string::npos && at < end)
                bodyLength = strtoul(data.c_str() + at + 16, nullptr, 10);
            size_t total = end + 4 + bodyLength;
            if (data.size() >= total) return data.substr(0, total);
        }
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                       deadline - std::chrono::steady_clock::now())
                       .count();
        if (left <= 0 || !ReadSome(fd, &data, left)) return std::string();
    }
}

int ConnectLoopback(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(fd, (sockaddr *)&address, sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t UnusedLoopbackPort() {
    LoopbackListener listener;
    return listener.port;
}
