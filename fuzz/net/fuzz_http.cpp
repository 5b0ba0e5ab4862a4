// Feeds arbitrary bytes through the HTTP dispatcher in arbitrary chunkings. The first byte
// chooses the slot's Digest state, the next eight the chunk sizes used in turn; the rest is
// the stream. Every message handed to a callback is checked for consistency.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "net/digest.h"
#include "net/http.h"
#include "net/http_internal.h"

namespace {

const uint8_t *streamBegin;
size_t streamLength;

// Keeps the reads above from being optimised away, so that ASan sees every byte touched.
volatile uint8_t sink;
void Sink(uint8_t value) {
    sink = value;
}

void CheckText(const char *text) {
    if (!text) abort();
    if (strlen(text) >= kHttpScratchStrings) abort();
}

void CheckMessage(const HttpMessage *m) {
    CheckText(m->first);
    CheckText(m->second);
    CheckText(m->version);
    if (m->headers.count < 0 || m->headers.count > kHttpMaxHeaders) abort();
    for (int i = 0; i < m->headers.count; i++) {
        CheckText(m->headers.names[i]);
        CheckText(m->headers.values[i]);
    }
    if (m->body) {
        uint8_t sum = 0;
        for (uint64_t i = 0; i < m->bodyLength; i++)
            sum = (uint8_t)(sum + m->body[i]);
        Sink(sum);
    } else if (m->bodyLength != 0) {
        abort();
    }
}

void OnMessage(SocketSet *, int, const HttpMessage *m, void *) {
    CheckMessage(m);
}

void OnRaw(SocketSet *, int, const uint8_t *data, size_t length, void *) {
    if (length == 0 || length > kHttpReceiveBufferMax + streamLength) abort();
    uint8_t sum = 0;
    for (size_t i = 0; i < length; i++)
        sum = (uint8_t)(sum + data[i]);
    Sink(sum);
}

void OnPassword(SocketSet *set, int, char *buffer, int size, int retried, void *) {
    if (buffer && size != 64) abort();
    if (retried != 0 && retried != 1) abort();
    // Answer at once now and then, as an owner with a stored password would.
    if (buffer && (streamLength & 1)) SetDigestPassword(set, "fuzz");
}

void Quiet(void *, const char *, size_t) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 9) return 0;
    LogOutputMode = 1;
    SetDebugOutput(Quiet, nullptr);
    uint8_t flags = data[0];
    size_t chunks[8];
    for (int i = 0; i < 8; i++)
        chunks[i] = 1 + (size_t)data[1 + i] * (data[1 + i] & 1 ? 1 : 37);
    streamBegin = data + 9;
    streamLength = size - 9;

    SocketSet *set = SocketSetCreate();
    if (!set) return 0;
    set->onReceived = HttpDispatch;
    set->onRequest = OnMessage;
    set->onResponse = OnMessage;
    set->onRawData = OnRaw;
    set->onPasswordNeeded = (flags & 2) ? OnPassword : nullptr;
    // One parsing slot without a socket: answers are refused by the set, nothing leaves.
    SocketSlot &slot = set->slots[0];
    slot.inUse = 1;
    slot.key = 5;
    slot.kind = TcpConnect;
    slot.parseHttp = (flags & 4) ? 0 : 1;
    slot.receiveBuffer = HttpReceiveBufferCreate();
    if (flags & 8) strcpy(slot.password, "secret");
    if (flags & 16) strcpy(set->password, "pw");
    slot.retriedWithPassword = (flags & 32) ? 1 : 0;
    if (flags & 64) {
        const char *name = "User-Agent";
        const char *value = "fuzz";
        HeaderList headers{&name, &value, 1};
        slot.lastRequest = HttpMessageCopy("GET", "/stream.xml", "HTTP/1.1", &headers, nullptr, 0);
    }
    set->highestSlot = 0;

    size_t at = 0;
    for (int turn = 0; at < streamLength; turn++) {
        size_t n = chunks[turn & 7];
        if (n > streamLength - at) n = streamLength - at;
        // A private copy per read, as the receive thread's buffer would be.
        uint8_t *read = (uint8_t *)malloc(n);
        memcpy(read, streamBegin + at, n);
        HttpDispatch(set, (flags & 128) ? 6 : 5, read, n, nullptr);
        free(read);
        at += n;
    }
    SocketSetFree(set);
    return 0;
}
