#include "system_audio/lossless_encoder.h"

#include <cstring>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include "base/log.h"

static constexpr int32_t kEncodingPcm = 0;
static constexpr int32_t kEncodingAlac = 1;
static constexpr int kChannels = 2;

struct LosslessEncoder {
    int32_t encoding;
    int framesPerPacket;
    AVCodecContext *codec; // Apple Lossless only
    AVFrame *frame;
    AVPacket *packet;
};

void LosslessEncoderClose(LosslessEncoder *e) {
    if (!e) return;
    avcodec_free_context(&e->codec);
    av_frame_free(&e->frame);
    av_packet_free(&e->packet);
    delete e;
}

static bool OpenAlac(LosslessEncoder *e) {
    const AVCodec *alac = avcodec_find_encoder(AV_CODEC_ID_ALAC);
    if (!alac) {
        DebugLog(2, "Audio: this libavcodec has no Apple Lossless encoder\n");
        return false;
    }
    e->codec = avcodec_alloc_context3(alac);
    e->frame = av_frame_alloc();
    e->packet = av_packet_alloc();
    if (!e->codec || !e->frame || !e->packet) return false;
    e->codec->sample_rate = 44100;
    e->codec->sample_fmt = AV_SAMPLE_FMT_S16P;
    av_channel_layout_default(&e->codec->ch_layout, kChannels);
    e->codec->time_base = AVRational{1, 44100};
    int result = avcodec_open2(e->codec, alac, nullptr);
    if (result < 0) {
        char text[128];
        av_strerror(result, text, sizeof text);
        DebugLog(2, "Audio: could not open the Apple Lossless encoder: %s\n", text);
        return false;
    }
    // The encoder's own frame size is its largest; a shorter frame carries its sample count
    // in its header, which is how every packet of the stream goes out.
    if (e->framesPerPacket > e->codec->frame_size) {
        DebugLog(2, "Audio: %i samples per packet exceed the Apple Lossless encoder's %i\n",
                 e->framesPerPacket, e->codec->frame_size);
        return false;
    }
    e->frame->format = AV_SAMPLE_FMT_S16P;
    e->frame->nb_samples = e->framesPerPacket;
    e->frame->sample_rate = 44100;
    if (av_channel_layout_copy(&e->frame->ch_layout, &e->codec->ch_layout) < 0 ||
        av_frame_get_buffer(e->frame, 0) < 0) {
        DebugLog(2, "Audio: no memory for the Apple Lossless encoder's frame\n");
        return false;
    }
    return true;
}

LosslessEncoder *LosslessEncoderOpen(int32_t encoding, int framesPerPacket) {
    if ((encoding != kEncodingPcm && encoding != kEncodingAlac) || framesPerPacket < 1 ||
        framesPerPacket > kLosslessMaxPacketFrames) {
        DebugLog(2, "Audio: no encoder for format %i with %i samples per packet\n", (int)encoding,
                 framesPerPacket);
        return nullptr;
    }
    LosslessEncoder *e = new (std::nothrow) LosslessEncoder{};
    if (!e) return nullptr;
    e->encoding = encoding;
    e->framesPerPacket = framesPerPacket;
    if (encoding == kEncodingAlac && !OpenAlac(e)) {
        LosslessEncoderClose(e);
        return nullptr;
    }
    return e;
}

static int32_t EncodeAlac(LosslessEncoder *e, const int16_t *interleaved, int frames, uint8_t *out,
                          int32_t capacity) {
    if (av_frame_make_writable(e->frame) < 0) return -1;
    int16_t *left = (int16_t *)e->frame->data[0];
    int16_t *right = (int16_t *)e->frame->data[1];
    for (int i = 0; i < frames; i++) {
        left[i] = interleaved[2 * i];
        right[i] = interleaved[2 * i + 1];
    }
    e->frame->nb_samples = frames;
    int result = avcodec_send_frame(e->codec, e->frame);
    if (result >= 0) result = avcodec_receive_packet(e->codec, e->packet);
    if (result < 0) {
        char text[128];
        av_strerror(result, text, sizeof text);
        DebugLog(2, "Audio: the Apple Lossless encoder failed: %s\n", text);
        return -1;
    }
    int32_t size = e->packet->size;
    if (size > capacity) {
        DebugLog(2, "Audio: an Apple Lossless frame of %i bytes does not fit\n", (int)size);
        size = -1;
    } else {
        memcpy(out, e->packet->data, (size_t)size);
    }
    av_packet_unref(e->packet);
    return size;
}

int32_t LosslessEncoderEncode(LosslessEncoder *e, const int16_t *interleaved, int frames,
                              uint8_t *out, int32_t capacity) {
    if (!e || frames < 1 || frames > e->framesPerPacket) return -1;
    if (e->encoding == kEncodingAlac) return EncodeAlac(e, interleaved, frames, out, capacity);
    int32_t bytes = frames * kChannels * 2;
    if (bytes > capacity) return -1;
    for (int i = 0; i < frames * kChannels; i++) {
        uint16_t v = (uint16_t)interleaved[i];
        out[2 * i] = (uint8_t)(v >> 8);
        out[2 * i + 1] = (uint8_t)v;
    }
    return bytes;
}
