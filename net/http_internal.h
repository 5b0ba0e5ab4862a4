// Pieces of the HTTP layer shared inside net/ only.
#pragma once

#include <cstddef>
#include <cstdint>

// A slot's accumulation buffer; capacity grows in whole multiples of 1024 bytes.
struct HttpReceiveBuffer {
    uint8_t *data;
    size_t length;
    size_t capacity;
};

// Null when out of memory.
HttpReceiveBuffer *HttpReceiveBufferCreate();
// Null is allowed.
void HttpReceiveBufferRelease(HttpReceiveBuffer *buffer);
// Returns 0 when out of memory (the buffer is unchanged).
int HttpReceiveBufferAppend(HttpReceiveBuffer *buffer, const uint8_t *data, size_t length);
