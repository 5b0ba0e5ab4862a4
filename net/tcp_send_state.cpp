// The kernel's view of a TCP socket's sending side. Kept apart from socket_set.cpp: the
// kernel's tcp_info record (with the acknowledged byte count) comes from <linux/tcp.h>, which
// cannot share a file with <netinet/tcp.h>.
#include "net/tcp_send_state.h"

#include <cstddef>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

int ReadTcpSendState(int fd, uint64_t *queuedBytes, uint64_t *bytesAcked) {
    int queued = 0;
    if (ioctl(fd, SIOCOUTQ, &queued) != 0 || queued < 0) return 0;
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return 0;
    // Kernels before 4.1 do not fill the count in.
    if (size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) return 0;
    *queuedBytes = (uint64_t)queued;
    *bytesAcked = info.tcpi_bytes_acked;
    return 1;
}
