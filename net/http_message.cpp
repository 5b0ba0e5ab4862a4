#include "net/http_message.h"

#include <cstdlib>
#include <cstring>

#include "net/http_internal.h"

static char *Duplicate(const char *text) {
    return strdup(text ? text : "");
}

HttpMessage *HttpMessageCopy(const char *method, const char *uri, const char *version,
                             const HeaderList *headers, const uint8_t *body, uint64_t bodyLength) {
    HttpMessage *copy = (HttpMessage *)calloc(1, sizeof(HttpMessage));
    if (!copy) return nullptr;
    int count = headers ? headers->count : 0;
    copy->first = Duplicate(method);
    copy->second = Duplicate(uri);
    copy->version = Duplicate(version);
    // One spare entry for the Authorization header a Digest resend may add.
    copy->headers.names = (const char **)calloc(count + 1, sizeof(char *));
    copy->headers.values = (const char **)calloc(count + 1, sizeof(char *));
    bool ok =
        copy->first && copy->second && copy->version && copy->headers.names && copy->headers.values;
    for (int i = 0; ok && i < count; i++) {
        copy->headers.names[i] = Duplicate(headers->names[i]);
        copy->headers.values[i] = Duplicate(headers->values[i]);
        copy->headers.count = i + 1;
        ok = copy->headers.names[i] && copy->headers.values[i];
    }
    if (ok && body && bodyLength > 0) {
        uint8_t *bytes = (uint8_t *)malloc(bodyLength);
        ok = bytes != nullptr;
        if (bytes) memcpy(bytes, body, bodyLength);
        copy->body = bytes;
        copy->bodyLength = bodyLength;
    }
    if (!ok) {
        HttpMessageFree(copy);
        return nullptr;
    }
    return copy;
}

void HttpMessageFree(HttpMessage *message) {
    if (!message) return;
    free((void *)message->first);
    free((void *)message->second);
    free((void *)message->version);
    for (int i = 0; i < message->headers.count; i++) {
        if (message->headers.names) free((void *)message->headers.names[i]);
        if (message->headers.values) free((void *)message->headers.values[i]);
    }
    free(message->headers.names);
    free(message->headers.values);
    free((void *)message->body);
    free(message);
}

HttpReceiveBuffer *HttpReceiveBufferCreate() {
    HttpReceiveBuffer *buffer = (HttpReceiveBuffer *)calloc(1, sizeof(HttpReceiveBuffer));
    if (!buffer) return nullptr;
    buffer->data = (uint8_t *)malloc(1024);
    if (!buffer->data) {
        free(buffer);
        return nullptr;
    }
    buffer->capacity = 1024;
    return buffer;
}

void HttpReceiveBufferRelease(HttpReceiveBuffer *buffer) {
    if (!buffer) return;
    free(buffer->data);
    free(buffer);
}

int HttpReceiveBufferAppend(HttpReceiveBuffer *buffer, const uint8_t *data, size_t length) {
    size_t needed = buffer->length + length;
    if (needed > buffer->capacity) {
        size_t capacity = (needed + 1023) / 1024 * 1024;
        uint8_t *grown = (uint8_t *)realloc(buffer->data, capacity);
        if (!grown) return 0;
        buffer->data = grown;
        buffer->capacity = capacity;
    }
    if (length) memcpy(buffer->data + buffer->length, data, length);
    buffer->length = needed;
    return 1;
}
