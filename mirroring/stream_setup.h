// The body of POST /stream: a constant binary property list announcing the stream
// (latency, fixed device and session identifiers, the names of the timing counters).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kStreamSetupPlistLength = 273;
// kStreamSetupPlistLength bytes.
extern const uint8_t *const StreamSetupPlist;
