#include "mirroring/stream_packets.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/log.h"

StreamGeometry StreamGeometryCompute(const StreamGeometryInputs &in) {
    float width = (float)in.pictureWidth;
    float height = (float)in.pictureHeight;
    float targetWidth = (float)in.targetWidth;
    float targetHeight = (float)in.targetHeight;
    // A capture manager that has no target yet must not make the header NaN or infinite.
    float scale = in.targetWidth > 0 ? (float)in.receiverWidth / targetWidth : 1.0f;
    StreamGeometry g;
    g.width = width;
    g.height = height;
    g.left = truncf((targetWidth - width) * 0.5f * scale);
    g.top = truncf((targetHeight - height) * 0.5f * scale);
    g.right = scale * width - 1.0f;
    g.bottom = scale * height - 1.0f;
    return g;
}

static void PutLE32(uint8_t *out, uint32_t v) {
    out[0] = (uint8_t)v;
    out[1] = (uint8_t)(v >> 8);
    out[2] = (uint8_t)(v >> 16);
    out[3] = (uint8_t)(v >> 24);
}

static void PutFloat(uint8_t *out, float f) {
    uint32_t bits;
    memcpy(&bits, &f, sizeof bits);
    PutLE32(out, bits);
}

void StreamPacketHeaderWrite(uint8_t *out, uint32_t payloadLength, uint16_t type,
                             StreamClock clock, const StreamGeometry &g) {
    memset(out, 0, kStreamHeaderSize);
    PutLE32(out, payloadLength);
    out[4] = (uint8_t)type;
    out[5] = (uint8_t)(type >> 8);
    out[6] = 6;
    StreamClockWriteLE64(clock, out + 8);
    if (type == kStreamPacketCodec) {
        PutFloat(out + 16, g.width);
        PutFloat(out + 20, g.height);
    }
    PutFloat(out + 40, g.width);
    PutFloat(out + 44, g.height);
    PutFloat(out + 48, g.left);
    PutFloat(out + 52, g.top);
    PutFloat(out + 56, g.right);
    PutFloat(out + 60, g.bottom);
}

void StreamHeartbeatWrite(uint8_t *out) {
    memset(out, 0, kStreamHeaderSize);
    out[4] = kStreamPacketHeartbeat;
    out[6] = 30;
}

uint8_t *StreamPacketBuild(uint16_t type, StreamClock clock, const StreamGeometry &geometry,
                           const uint8_t *payload, size_t payloadLength, size_t *length) {
    *length = 0;
    if (payloadLength > UINT32_MAX - kStreamHeaderSize) return nullptr;
    uint8_t *packet = (uint8_t *)malloc(kStreamHeaderSize + payloadLength);
    if (!packet) return nullptr;
    StreamPacketHeaderWrite(packet, (uint32_t)payloadLength, type, clock, geometry);
    if (payloadLength) memcpy(packet + kStreamHeaderSize, payload, payloadLength);
    *length = kStreamHeaderSize + payloadLength;
    return packet;
}

int StreamSenderInit(StreamSender *sender, StreamSendFn send, void *context) {
    *sender = {};
    sender->lastCodecHeader = (uint8_t *)malloc(kCodecHeaderBufferSize);
    if (!sender->lastCodecHeader) return 0;
    sender->lastCodecHeaderCapacity = kCodecHeaderBufferSize;
    sender->send = send;
    sender->context = context;
    return 1;
}

void StreamSenderFree(StreamSender *sender) {
    free(sender->lastCodecHeader);
    sender->lastCodecHeader = nullptr;
    sender->lastCodecHeaderCapacity = 0;
    sender->lastCodecHeaderLength = 0;
}

static bool CodecHeaderChanged(const StreamSender *s, const uint8_t *header, size_t length) {
    if (s->lastCodecHeaderLength == 0 || (size_t)s->lastCodecHeaderLength != length) return true;
    return memcmp(s->lastCodecHeader, header, length) != 0;
}

// Keeps a copy of the header; a header larger than the buffer grows it rather than being
// cut short (a cut copy would differ from every later header and resend it each picture).
static bool KeepCodecHeader(StreamSender *s, const uint8_t *header, size_t length) {
    if (length > s->lastCodecHeaderCapacity) {
        uint8_t *grown = (uint8_t *)realloc(s->lastCodecHeader, length);
        if (!grown) return false;
        s->lastCodecHeader = grown;
        s->lastCodecHeaderCapacity = length;
    }
    memcpy(s->lastCodecHeader, header, length);
    s->lastCodecHeaderLength = (int)length;
    return true;
}

static void SendPacket(StreamSender *s, uint16_t type, const StreamGeometry &g,
                       const uint8_t *payload, size_t payloadLength) {
    size_t length = 0;
    uint8_t *packet = StreamPacketBuild(type, StreamClockNow(), g, payload, payloadLength, &length);
    if (!packet) {
        DebugLog(2, "Stream packet of %zu bytes could not be allocated\n", payloadLength);
        return;
    }
    s->send(s->context, packet, length);
    free(packet);
}

void StreamSenderSendFrame(StreamSender *s, const uint8_t *codecHeader, size_t codecHeaderLength,
                           const uint8_t *frame, size_t frameLength,
                           const StreamGeometryInputs &inputs, int64_t nowSeconds) {
    StreamGeometry g = StreamGeometryCompute(inputs);
    if (codecHeaderLength > 0 && codecHeader && CodecHeaderChanged(s, codecHeader, codecHeaderLength)) {
        if (!KeepCodecHeader(s, codecHeader, codecHeaderLength)) {
            // Not kept means the next picture compares as changed and tries again.
            s->lastCodecHeaderLength = 0;
        }
        DebugLog(1, "Setting Header With avcc len: %i frame size: %i size of header: %i\n",
                 (int)codecHeaderLength, 132, 132);
        SendPacket(s, kStreamPacketCodec, g, codecHeader, codecHeaderLength);
        s->headerSent = 1;
    } else if (!s->headerSent) {
        DebugLog(1, "Has not set header! Invalid avcc\n");
    }
    SendPacket(s, kStreamPacketVideo, g, frame, frameLength);
    if (nowSeconds - s->heartbeatTime > 1) {
        s->heartbeatTime = nowSeconds;
        uint8_t heartbeat[kStreamHeaderSize];
        StreamHeartbeatWrite(heartbeat);
        s->send(s->context, heartbeat, sizeof heartbeat);
    }
}
