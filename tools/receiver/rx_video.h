// Decoding, recording and the still picture of the received stream, all through
// FFmpeg's libraries so that an independent decoder judges what the sender sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/receiver/rx_packets.h"

struct VideoSink;

// Routes FFmpeg's log through the receiver's log; error lines logged while a counter is set
// (on this thread) are counted into it, as the video decoder's are into its own stats.
void DecoderLogInstall();
void DecoderLogCountInto(uint64_t *counter);

struct VideoStats {
    uint64_t framesDecoded;
    uint64_t decodeErrors; // failed sends/receives, corrupt pictures, decoder error messages
    int width;             // size of the last decoded picture
    int height;
    uint64_t framesRecorded;
    bool recordFailed;
    uint64_t timecodesUnreadable; // pictures where a time code was expected but not read
};

// recordPath may be empty; ".h264" or ".264" gives a raw Annex B file, any other
// name a container chosen by FFmpeg from the name (".mp4", ".mkv", ...).
VideoSink *VideoSinkCreate(const std::string &recordPath);
// Drains the decoder, finishes the recording and frees everything.
void VideoSinkClose(VideoSink *sink);

// A new codec record (already validated); raw is its bytes as received.
void VideoSinkCodec(VideoSink *sink, const AvcConfig &config, const uint8_t *raw, size_t rawLength);
// One picture: avcc is the payload as received (length-prefixed), annexB the
// same units with start codes. timestamp is stream-clock seconds.
void VideoSinkPicture(VideoSink *sink, const uint8_t *avcc, size_t avccLength,
                      const std::vector<uint8_t> &annexB, bool idr, double timestamp);
// Starts a new stream: drains and resets the decoder (a recording goes on).
void VideoSinkReset(VideoSink *sink);
// Drains pictures the decoder still holds.
void VideoSinkDrain(VideoSink *sink);

VideoStats VideoSinkStats(const VideoSink *sink);

// Reads a benchmark's time code (rx_timecode.h) from every decoded picture from now on.
void VideoSinkSetTimecode(VideoSink *sink, int cellPixels, int screenWidth);
// The time code of the latest picture, once: true when a picture decoded since the last
// call carried a readable code.
bool VideoSinkTakeTimecode(VideoSink *sink, uint32_t *code);
// Writes the last decoded picture as PNG. False (with a log line) when there is
// none or writing fails.
[[nodiscard]] bool VideoSinkWritePng(VideoSink *sink, const std::string &path);

// Keeps (stream-clock seconds of the packet, mean luma 0..255) of every decoded picture.
void VideoSinkSetLumaTrace(VideoSink *sink, bool on);
const std::vector<std::pair<double, double>> &VideoSinkLumaTrace(const VideoSink *sink);
