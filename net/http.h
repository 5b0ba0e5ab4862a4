// The HTTP/1.1 and RTSP/1.0 layer over a SocketSet. Owners install HttpDispatch as the set's
// onReceived and open slots with parseHttp = 1; parsing, the Digest checks and the callbacks
// onRequest, onResponse, onRawData and onPasswordNeeded then run on the set's receive thread,
// one message at a time. Every complete message in a read is dispatched, in order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/http_message.h"
#include "net/socket_set.h"

// Results of ParseHttpMessage.
enum HttpParseResult : int {
    HttpMalformed = 0,
    HttpIncomplete = 2,
    HttpRequest = 3,
    HttpResponse = 4,
};

// A slot's receive buffer never holds more than this; beyond it the bytes are passed on
// as raw data so that a peer cannot make the program hold unbounded memory.
constexpr size_t kHttpReceiveBufferMax = 16 * 1024 * 1024;

// A header block still unfinished after this many bytes makes the message malformed, so that
// a peer cannot make every read re-scan an ever longer head.
constexpr size_t kHttpMaxHeaderBlock = 65536;

// Serialises "method uri version", the headers, "Content-Length: N" (always, after the
// caller's headers; callers never pass their own) and the body, stores a copy as the slot's
// lastRequest and queues it on the slot with that key. Any owner thread, or the receive
// thread from a callback. Returns SocketSetSend's result (callers may ignore it).
int SendHttpRequest(SocketSet *set, const char *method, const char *uri, const char *version,
                    const HeaderList *headers, const uint8_t *body, uint64_t bodyLength, int key);
// Sends "<version> 401 Unauthorized" with the given headers and "Content-Length: 0".
int SendUnauthorized(SocketSet *set, const char *version, const HeaderList *headers, int key);

// Parses one message from the start of data. On HttpRequest or HttpResponse, *length becomes
// the count of bytes after the message; those bytes are moved to the start of data and the
// body (message->body) follows them. Texts go into scratch. data is not touched otherwise.
[[nodiscard]] int ParseHttpMessage(uint8_t *data, size_t *length, HttpMessage *message,
                                   HttpScratch *scratch);
// The value of the first header whose name equals name ignoring ASCII case, or null.
const char *HeaderListFind(const HeaderList *headers, const char *name);

// The onReceived handler of the HTTP layer (receive thread).
void HttpDispatch(SocketSet *set, int key, const uint8_t *data, size_t length, void *user);
