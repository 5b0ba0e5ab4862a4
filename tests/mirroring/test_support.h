// Helpers shared by the mirroring tests: the shared ones (log capture, a private network
// namespace, child processes, whole files) and a small UDP client.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/file_text.h"
#include "tests/support/log_capture.h"
#include "tests/support/private_network.h"

// Sends one datagram to 127.0.0.1:port and waits up to timeoutMs for a reply.
// Returns the reply (empty when none came).
std::vector<uint8_t> UdpExchange(uint16_t port, const std::vector<uint8_t> &request, int timeoutMs);
