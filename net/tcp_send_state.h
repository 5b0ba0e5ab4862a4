// What waits in the kernel on a connected TCP socket, and what the peer has acknowledged.
#pragma once

#include <cstdint>

// queuedBytes: bytes written but not yet acknowledged (unsent and in flight, SIOCOUTQ);
// bytesAcked: the socket's running total of acknowledged bytes. Returns 1, or 0 (both left
// untouched) when the socket does not tell.
[[nodiscard]] int ReadTcpSendState(int fd, uint64_t *queuedBytes, uint64_t *bytesAcked);
