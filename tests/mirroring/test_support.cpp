#include "test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

std::vector<uint8_t> UdpExchange(uint16_t port, const std::vector<uint8_t> &request,
                                 int timeoutMs) {
    std::vector<uint8_t> reply;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return reply;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    if (sendto(fd, request.data(), request.size(), 0, (sockaddr *)&to, sizeof to) ==
        (ssize_t)request.size()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) == 1) {
            uint8_t buffer[2048];
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) reply.assign(buffer, buffer + n);
        }
    }
    close(fd);
    return reply;
}
