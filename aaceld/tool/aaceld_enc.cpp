// ostrel-aaceld-enc [--bitrate N] INPUT.wav OUTPUT.m4a
// Encodes 16-bit stereo WAV at 44.1 kHz (or 48 kHz) into an MP4 audio file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "aaceld/aaceld.h"
#include "aaceld/tool/wav_reader.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

static int Usage() {
    fprintf(stderr, "usage: ostrel-aaceld-enc [--bitrate N] INPUT.wav OUTPUT.m4a\n");
    return 2;
}

int main(int argc, char **argv) {
    int bitRate = 128000;
    const char *input = nullptr, *output = nullptr;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--bitrate") == 0 && i + 1 < argc) {
            char *end;
            long v = strtol(argv[++i], &end, 10);
            if (*end || v <= 0 || v > 10000000) {
                fprintf(stderr, "invalid bit rate: %s\n", argv[i]);
                return 2;
            }
            bitRate = (int)v;
        } else if (!input) {
            input = argv[i];
        } else if (!output) {
            output = argv[i];
        } else {
            return Usage();
        }
    }
    if (!input || !output) return Usage();

    WavData wav;
    char error[256];
    if (!WavRead(input, &wav, error, sizeof(error))) {
        fprintf(stderr, "%s: %s\n", input, error);
        return 1;
    }
    if (wav.channels != 2 || (wav.sampleRate != 44100 && wav.sampleRate != 48000)) {
        fprintf(stderr, "%s: need stereo at 44100 or 48000 Hz (have %d channels at %d Hz)\n", input,
                wav.channels, wav.sampleRate);
        return 1;
    }

    EncoderConfig config = {39,  bitRate,        3, 2, wav.sampleRate, wav.sampleRate, 5,
                            480, {0, 1, 0, 1, 1}};
    AacEldEncoder *encoder = nullptr;
    EncoderSlot slot;
    EncoderInfo info;
    if (EncoderOpen(&config, &encoder) != kEncoderOk || EncoderInit(encoder, &slot) != kEncoderOk ||
        EncoderGetInfo(encoder, &info) != kEncoderOk) {
        fprintf(stderr, "encoder rejects %d bit/s at %d Hz\n", bitRate, wav.sampleRate);
        EncoderClose(encoder);
        return 1;
    }

    AVFormatContext *oc = nullptr;
    if (avformat_alloc_output_context2(&oc, nullptr, "mp4", output) < 0 || !oc) {
        fprintf(stderr, "cannot create an MP4 muxer\n");
        EncoderClose(encoder);
        return 1;
    }
    AVStream *st = avformat_new_stream(oc, nullptr);
    st->time_base = AVRational{1, wav.sampleRate};
    AVCodecParameters *par = st->codecpar;
    par->codec_type = AVMEDIA_TYPE_AUDIO;
    par->codec_id = AV_CODEC_ID_AAC;
    par->sample_rate = wav.sampleRate;
    av_channel_layout_default(&par->ch_layout, 2);
    par->frame_size = info.frameLength;
    par->initial_padding = info.delay; // players skip the filterbank delay through the edit list
    par->bit_rate = bitRate;
    par->extradata = (uint8_t *)av_mallocz((size_t)info.audioSpecificConfigLength +
                                           AV_INPUT_BUFFER_PADDING_SIZE);
    memcpy(par->extradata, info.audioSpecificConfig, (size_t)info.audioSpecificConfigLength);
    par->extradata_size = info.audioSpecificConfigLength;

    int status = 1;
    AVPacket *pkt = av_packet_alloc();
    if (avio_open(&oc->pb, output, AVIO_FLAG_WRITE) < 0) {
        fprintf(stderr, "cannot write %s\n", output);
    } else if (avformat_write_header(oc, nullptr) < 0) {
        fprintf(stderr, "cannot write the MP4 header\n");
    } else {
        // Enough trailing silence to flush the filterbank delay.
        const size_t frames = wav.samples.size() / 2;
        const size_t total = (frames + (size_t)info.delay + 479) / 480 * 480;
        std::vector<float> block(960);
        uint8_t out[8000];
        int64_t pts = -info.delay; // negative start: the edit list hides the delay
        status = 0;
        for (size_t start = 0; start < total && status == 0; start += 480) {
            for (size_t i = 0; i < 960; i++) {
                size_t idx = start * 2 + i;
                block[i] = idx < wav.samples.size() ? wav.samples[idx] / 32768.0f : 0.0f;
            }
            int n = EncoderEncode(encoder, block.data(), 960, &slot, out, sizeof(out));
            if (n < 0) {
                fprintf(stderr, "encoding failed at sample %zu\n", start);
                status = 1;
                break;
            }
            if (n == 0) continue;
            if (av_new_packet(pkt, n) < 0) {
                status = 1;
                break;
            }
            memcpy(pkt->data, out, (size_t)n);
            pkt->stream_index = st->index;
            pkt->pts = pkt->dts = av_rescale_q(pts, AVRational{1, wav.sampleRate}, st->time_base);
            pkt->duration = av_rescale_q(480, AVRational{1, wav.sampleRate}, st->time_base);
            pts += 480;
            if (av_interleaved_write_frame(oc, pkt) < 0) {
                fprintf(stderr, "cannot write a packet\n");
                status = 1;
            }
        }
        if (av_write_trailer(oc) < 0) status = 1;
    }
    av_packet_free(&pkt);
    if (oc->pb) avio_closep(&oc->pb);
    avformat_free_context(oc);
    EncoderClose(encoder);
    return status;
}
