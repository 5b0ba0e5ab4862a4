// One HTTP/1.1 or RTSP/1.0 message, as parsed from a connection or as stored for a resend.
// A parsed message (handed to onRequest/onResponse) borrows everything: its texts live in the
// dispatcher's scratch area and its body in the slot's receive buffer, valid only during the
// callback. A stored copy (HttpMessageCopy) owns every text, both header arrays and the body.
#pragma once

#include <cstddef>
#include <cstdint>

// Headers in order of appearance; names[i] goes with values[i].
struct HeaderList {
    const char **names;
    const char **values;
    int count;
};

struct HttpMessage {
    const char *first;   // request: method ("GET", "POST", ...); response: reason phrase
    const char *second;  // request: URI; response: the status code as it was written
    int statusCode;      // response: status code (0 when it does not read as a number)
    const char *version; // "HTTP/1.1", "RTSP/1.0", ...
    HeaderList headers;
    const uint8_t *body; // null when absent
    uint64_t bodyLength;
};

// Room for the parsed texts and the header references; lives on the dispatcher's stack.
constexpr size_t kHttpScratchStrings = 8192;
constexpr int kHttpMaxHeaders = 64;
struct HttpScratch {
    char strings[kHttpScratchStrings];
    const char *names[kHttpMaxHeaders];
    const char *values[kHttpMaxHeaders];
};

// Deep copy owned by the caller: every text duplicated, the header arrays allocated with one
// entry more than count (room for an added Authorization header), the body duplicated when
// present. Returns null when out of memory.
[[nodiscard]] HttpMessage *HttpMessageCopy(const char *method, const char *uri, const char *version,
                                           const HeaderList *headers, const uint8_t *body,
                                           uint64_t bodyLength);
// Frees a copy made by HttpMessageCopy; null is allowed.
void HttpMessageFree(HttpMessage *message);
