// Stream packets: what the mirroring connection sends on port 7100 once the stream is
// announced. Each packet is a 128-byte little-endian header and a payload: a codec packet
// (the avcC codec header), a video packet (one picture of length-prefixed NAL units) or a
// heartbeat (header only). The builders are pure; StreamSenderSendFrame holds the rules
// that decide which packets one picture produces. All of it runs on the connection's
// thread; nothing here is shared.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mirroring/stream_clock.h"

constexpr size_t kStreamHeaderSize = 128;
constexpr size_t kCodecHeaderBufferSize = 512;

enum : uint16_t {
    kStreamPacketVideo = 0,
    kStreamPacketCodec = 1,
    kStreamPacketHeartbeat = 2,
};

// Sizes from the capture manager, read once per picture. picture is the target size in
// window mode and the output size in display mode.
struct StreamGeometryInputs {
    int pictureWidth;
    int pictureHeight;
    int targetWidth;
    int targetHeight;
    int receiverWidth;
    int receiverHeight;
};

// Where the picture lands on the receiver's screen, in the receiver's pixels.
struct StreamGeometry {
    float width;  // picture width
    float height; // picture height
    float left;
    float top;
    float right;
    float bottom;
};

StreamGeometry StreamGeometryCompute(const StreamGeometryInputs &inputs);

// Writes a 128-byte header. Codec packets carry the picture size twice (offsets 16 and 40),
// video packets once (offset 40).
void StreamPacketHeaderWrite(uint8_t *out, uint32_t payloadLength, uint16_t type,
                             StreamClock clock, const StreamGeometry &geometry);
// A heartbeat: all zero except type 2 and 30 at offset 6.
void StreamHeartbeatWrite(uint8_t *out);

// Builds header + payload in one new buffer (malloc'ed; the caller frees it). Returns null
// when out of memory. *length receives 128 + payloadLength.
[[nodiscard]] uint8_t *StreamPacketBuild(uint16_t type, StreamClock clock,
                                         const StreamGeometry &geometry, const uint8_t *payload,
                                         size_t payloadLength, size_t *length);

// Per-connection sending state. Initialise with StreamSenderInit, release with
// StreamSenderFree.
typedef void (*StreamSendFn)(void *context, const uint8_t *bytes, size_t length);
struct StreamSender {
    uint8_t *lastCodecHeader;     // owned; the last codec header sent; grows past 512 bytes
    size_t lastCodecHeaderCapacity;
    int lastCodecHeaderLength;    // 0 before the first codec packet
    int headerSent;               // cleared when a stream starts
    int64_t heartbeatTime;        // Unix seconds of the last heartbeat
    StreamSendFn send;            // called once per packet with a buffer it must copy
    void *context;                // first argument of send
};

[[nodiscard]] int StreamSenderInit(StreamSender *sender, StreamSendFn send, void *context);
void StreamSenderFree(StreamSender *sender);

// Sends the packets for one picture: a codec packet when codecHeader differs from the
// last one sent, the video packet, and a heartbeat when more than one second has passed
// since heartbeatTime (nowSeconds is the current Unix time).
void StreamSenderSendFrame(StreamSender *sender, const uint8_t *codecHeader,
                           size_t codecHeaderLength, const uint8_t *frame, size_t frameLength,
                           const StreamGeometryInputs &inputs, int64_t nowSeconds);
