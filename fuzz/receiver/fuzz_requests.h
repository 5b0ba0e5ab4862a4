// Feeds the receiver's request parser whatever a peer may send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/receiver/rx_http.h"

// Hands each complete request in data to check, stopping at the first incomplete or bad
// one; traps when the parser claims bytes it was not given.
inline void FuzzEachRequest(const uint8_t *data, size_t size,
                            void (*check)(const HttpRequest &request)) {
    size_t position = 0;
    while (position < size) {
        HttpRequest request;
        size_t consumed = 0;
        std::string error;
        if (HttpParseRequest(data + position, size - position, &request, &consumed, &error) !=
            kHttpComplete)
            return;
        if (consumed == 0 || consumed > size - position) __builtin_trap();
        position += consumed;
        check(request);
    }
}
