#include "net/http.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/log.h"
#include "net/digest.h"
#include "net/http_internal.h"

// ---- serialising ----

static size_t HeadersSize(const HeaderList *headers) {
    size_t size = 0;
    for (int i = 0; headers && i < headers->count; i++)
        size += strlen(headers->names[i]) + 2 + strlen(headers->values[i]) + 2;
    return size;
}

static char *AppendText(char *out, const char *text) {
    size_t n = strlen(text);
    memcpy(out, text, n);
    return out + n;
}

// Builds "<a> <b> <c>\r\n", the headers, the Content-Length line, the empty line and the body
// in one allocation of exactly the message's size.
static uint8_t *Serialise(const char *a, const char *b, const char *c, const HeaderList *headers,
                          const uint8_t *body, uint64_t bodyLength, size_t *size) {
    char contentLength[48];
    snprintf(contentLength, sizeof contentLength, "Content-Length: %" PRIu64 "\r\n", bodyLength);
    size_t total = strlen(a) + 1 + strlen(b) + 1 + strlen(c) + 2 + HeadersSize(headers) +
                   strlen(contentLength) + 2 + (body ? bodyLength : 0);
    uint8_t *message = (uint8_t *)malloc(total);
    if (!message) return nullptr;
    char *out = (char *)message;
    out = AppendText(out, a);
    *out++ = ' ';
    out = AppendText(out, b);
    *out++ = ' ';
    out = AppendText(out, c);
    out = AppendText(out, "\r\n");
    for (int i = 0; headers && i < headers->count; i++) {
        out = AppendText(out, headers->names[i]);
        out = AppendText(out, ": ");
        out = AppendText(out, headers->values[i]);
        out = AppendText(out, "\r\n");
    }
    out = AppendText(out, contentLength);
    out = AppendText(out, "\r\n");
    if (body && bodyLength) memcpy(out, body, bodyLength);
    *size = total;
    return message;
}

int SendHttpRequest(SocketSet *set, const char *method, const char *uri, const char *version,
                    const HeaderList *headers, const uint8_t *body, uint64_t bodyLength, int key) {
    if (!body) bodyLength = 0;
    size_t size = 0;
    uint8_t *message = Serialise(method, uri, version, headers, body, bodyLength, &size);
    if (!message) return 0;
    // The arguments may belong to the slot's current copy (a Digest resend): copy first.
    SocketSlot *slot = SocketSetFindSlot(set, key);
    if (slot) {
        HttpMessage *copy = HttpMessageCopy(method, uri, version, headers, body, bodyLength);
        std::lock_guard<std::recursive_mutex> hold(set->digestLock);
        HttpMessageFree(slot->lastRequest);
        slot->lastRequest = copy;
    }
    int result = SocketSetSend(set, message, size, key);
    free(message);
    return result;
}

int SendUnauthorized(SocketSet *set, const char *version, const HeaderList *headers, int key) {
    size_t size = 0;
    uint8_t *message = Serialise(version, "401", "Unauthorized", headers, nullptr, 0, &size);
    if (!message) return 0;
    int result = SocketSetSend(set, message, size, key);
    free(message);
    return result;
}

// ---- parsing ----

const char *HeaderListFind(const HeaderList *headers, const char *name) {
    if (!headers || !name) return nullptr;
    for (int i = 0; i < headers->count; i++)
        if (strcasecmp(headers->names[i], name) == 0) return headers->values[i];
    return nullptr;
}

namespace {

struct StringArea {
    HttpScratch *scratch;
    size_t used;

    // Copies n bytes as a NUL-terminated text; null when the area is full.
    const char *Store(const uint8_t *from, size_t n) {
        if (used + n + 1 > kHttpScratchStrings) return nullptr;
        char *to = scratch->strings + used;
        memcpy(to, from, n);
        to[n] = 0;
        used += n + 1;
        return to;
    }
};

// Unsigned decimal after optional blanks; anything else reads as 0. Saturates on overflow.
uint64_t ReadLength(const char *text) {
    while (*text == ' ' || *text == '\t')
        text++;
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        unsigned digit = (unsigned)(*text - '0');
        if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

int ReadStatus(const char *text) {
    long value = strtol(text, nullptr, 10);
    return (int)std::clamp<long>(value, INT32_MIN, INT32_MAX);
}

} // namespace

int ParseHttpMessage(uint8_t *data, size_t *length, HttpMessage *message, HttpScratch *scratch) {
    const size_t total = *length;
    if (total == 0) return HttpIncomplete;
    StringArea area{scratch, 0};

    // Start line, first element: a method or a protocol version, printable, at most 16 bytes.
    size_t pos = 1;
    for (;; pos++) {
        if (pos >= total) return HttpIncomplete;
        uint8_t c = data[pos];
        if (c == ' ') break;
        if (c < 0x21 || c > 0x7E || pos >= 16) return HttpMalformed;
    }
    const char *first = area.Store(data, pos);
    if (!first) return HttpMalformed;

    // Second element: up to the next space.
    while (pos < total && data[pos] == ' ')
        pos++;
    size_t secondStart = pos;
    while (pos < total && data[pos] != ' ')
        pos++;
    if (pos >= total)
        return pos - secondStart >= kHttpScratchStrings ? HttpMalformed : HttpIncomplete;
    const char *second = area.Store(data + secondStart, pos - secondStart);
    if (!second) return HttpMalformed;

    // Third element: the rest of the line without trailing spaces.
    while (pos < total && data[pos] == ' ')
        pos++;
    size_t thirdStart = pos;
    while (pos < total && data[pos] != '\r' && data[pos] != '\n')
        pos++;
    if (pos >= total)
        return pos - thirdStart >= kHttpScratchStrings ? HttpMalformed : HttpIncomplete;
    size_t thirdEnd = pos;
    while (thirdEnd > thirdStart && data[thirdEnd - 1] == ' ')
        thirdEnd--;
    const char *third = area.Store(data + thirdStart, thirdEnd - thirdStart);
    if (!third) return HttpMalformed;

    // Header lines until an empty line.
    int count = 0;
    int lineEnds = 0;
    for (;;) {
        if (pos > kHttpMaxHeaderBlock) return HttpMalformed;
        if (pos >= total) return HttpIncomplete;
        uint8_t c = data[pos];
        if (c == '\r' || c == ' ') {
            pos++;
            continue;
        }
        if (c == '\n') {
            pos++;
            if (++lineEnds >= 2) break;
            continue;
        }
        size_t nameStart = pos;
        while (pos < total && data[pos] != ':' && data[pos] != '\r' && data[pos] != '\n')
            pos++;
        if (pos >= total) return pos > kHttpMaxHeaderBlock ? HttpMalformed : HttpIncomplete;
        lineEnds = 0;
        // A line without a colon carries no header; its line end is read again above.
        if (data[pos] != ':') continue;
        size_t nameLength = pos - nameStart;
        pos++;
        while (pos < total && data[pos] == ' ')
            pos++;
        size_t valueStart = pos;
        while (pos < total && data[pos] != '\r' && data[pos] != '\n')
            pos++;
        if (pos >= total) return pos > kHttpMaxHeaderBlock ? HttpMalformed : HttpIncomplete;
        size_t valueLength = pos - valueStart;
        // Headers beyond the list or the strings area are dropped.
        if (count < kHttpMaxHeaders &&
            area.used + nameLength + valueLength + 2 < kHttpScratchStrings) {
            scratch->names[count] = area.Store(data + nameStart, nameLength);
            scratch->values[count] = area.Store(data + valueStart, valueLength);
            count++;
        }
    }

    HeaderList headers{scratch->names, scratch->values, count};
    const size_t bodyStart = pos;
    const size_t available = total - bodyStart;
    const bool response = strncmp(first, "HTTP", 4) == 0 || strncmp(first, "RTSP", 4) == 0;
    const char *lengthText = HeaderListFind(&headers, "content-length");
    uint64_t bodyLength;
    if (lengthText) {
        // An explicit length, 0 included, is the whole body: what follows is the next message.
        uint64_t contentLength = ReadLength(lengthText);
        if (contentLength > available) return HttpIncomplete;
        bodyLength = contentLength;
    } else {
        // Without a length a response runs to the end of what has arrived; a request has none.
        bodyLength = response ? available : 0;
    }
    size_t leftover = available - (size_t)bodyLength;

    // Leftover bytes go to the start of the buffer and the body follows them.
    if (leftover > 0) {
        uint8_t *bodyBegin = data + bodyStart;
        std::rotate(bodyBegin, bodyBegin + bodyLength, data + total);
        memmove(data, bodyBegin, leftover + bodyLength);
    }
    message->body = bodyLength ? data + (leftover > 0 ? leftover : bodyStart) : nullptr;
    message->bodyLength = bodyLength;
    message->headers = headers;
    *length = leftover;

    if (response) {
        message->first = third;
        message->second = second;
        message->statusCode = ReadStatus(second);
        message->version = first;
        return HttpResponse;
    }
    message->first = first;
    message->second = second;
    message->statusCode = 0;
    message->version = third;
    return HttpRequest;
}

// ---- dispatching ----

static void PassRaw(SocketSet *set, int key, const uint8_t *data, size_t length) {
    if (length && set->onRawData) set->onRawData(set, key, data, length, set->user);
}

static void HandleRequest(SocketSet *set, SocketSlot *slot, int key, const HttpMessage *request) {
    slot->authRequested = 0;
    if (CheckDigestCredentials(slot, request)) {
        if (set->onRequest) set->onRequest(set, key, request, set->user);
        return;
    }
    std::string challenge = DigestChallenge();
    const char *name = "WWW-Authenticate";
    const char *value = challenge.c_str();
    HeaderList headers{&name, &value, 1};
    (void)SendUnauthorized(set, request->version, &headers, key);
    if (set->onPasswordNeeded) set->onPasswordNeeded(set, key, nullptr, 0, 0, set->user);
}

static void HandleResponse(SocketSet *set, SocketSlot *slot, int key, const HttpMessage *response) {
    int retried;
    {
        std::lock_guard<std::recursive_mutex> hold(set->digestLock);
        if (!IsDigestChallenge(slot, response)) {
            retried = -1;
        } else if (!set->onPasswordNeeded) {
            return;
        } else if (slot->password[0]) {
            char password[64];
            memcpy(password, slot->password, sizeof password);
            password[63] = 0;
            SetDigestPassword(set, password);
            return;
        } else {
            retried = slot->retriedWithPassword;
        }
    }
    // The owner's callbacks run without the lock: they may hand over a password from here.
    if (retried < 0) {
        if (set->onResponse) set->onResponse(set, key, response, set->user);
        return;
    }
    set->onPasswordNeeded(set, key, set->password, (int)sizeof set->password, retried, set->user);
}

void HttpDispatch(SocketSet *set, int key, const uint8_t *data, size_t length, void *user) {
    (void)user;
    SocketSlot *slot = SocketSetFindSlot(set, key);
    if (!slot || !slot->parseHttp || !slot->receiveBuffer) {
        PassRaw(set, key, data, length);
        return;
    }
    HttpReceiveBuffer *buffer = slot->receiveBuffer;
    if (buffer->length + length > kHttpReceiveBufferMax ||
        !HttpReceiveBufferAppend(buffer, data, length)) {
        DebugLog(2, "HTTP receive buffer of key %i would exceed %zu bytes; passed on as raw data\n",
                 key, kHttpReceiveBufferMax);
        PassRaw(set, key, buffer->data, buffer->length);
        buffer->length = 0;
        PassRaw(set, key, data, length);
        return;
    }

    // Every complete message in the buffer is handled in order; an incomplete tail waits for
    // the next read, and bytes that do not start a message go to onRawData.
    HttpScratch scratch;
    while (buffer->length > 0) {
        size_t left = buffer->length;
        HttpMessage message{};
        int result = ParseHttpMessage(buffer->data, &left, &message, &scratch);
        if (result == HttpIncomplete) return;
        if (result == HttpMalformed) {
            PassRaw(set, key, buffer->data, buffer->length);
            buffer->length = 0;
            return;
        }
        // The leftover is at the start; the body stays behind it until the next parse.
        buffer->length = left;
        if (result == HttpRequest)
            HandleRequest(set, slot, key, &message);
        else
            HandleResponse(set, slot, key, &message);
        // A callback may have closed the set; its buffers are then no longer served.
        if (!set->running) return;
    }
}
