#include "eld_decode.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "aaceld/aaceld.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

namespace {

std::mutex gLogMutex;
std::string *gLogSink = nullptr;

void CaptureLog(void *avcl, int level, const char *fmt, va_list vl) {
    (void)avcl;
    if (level > AV_LOG_WARNING) return;
    char line[1024];
    vsnprintf(line, sizeof(line), fmt, vl);
    std::lock_guard<std::mutex> lock(gLogMutex);
    if (gLogSink) gLogSink->append(line, strnlen(line, sizeof(line)));
}

} // namespace

EldDecodeResult EldDecodePackets(const std::vector<std::vector<uint8_t>> &packets,
                                 const uint8_t *asc, int ascLength, int sampleRate, int channels) {
    EldDecodeResult result;
    {
        std::lock_guard<std::mutex> lock(gLogMutex);
        gLogSink = &result.log;
    }
    av_log_set_callback(CaptureLog);
    const AVCodec *codec = avcodec_find_decoder_by_name("aac");
    AVCodecContext *ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (!ctx) {
        result.errors = 1;
        result.log += "no aac decoder\n";
        return result;
    }
    ctx->extradata = (uint8_t *)av_mallocz((size_t)ascLength + AV_INPUT_BUFFER_PADDING_SIZE);
    memcpy(ctx->extradata, asc, (size_t)ascLength);
    ctx->extradata_size = ascLength;
    ctx->sample_rate = sampleRate;
    av_channel_layout_default(&ctx->ch_layout, channels);
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        result.errors = 1;
        result.log += "open failed\n";
        avcodec_free_context(&ctx);
        return result;
    }
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    for (const auto &p : packets) {
        av_new_packet(pkt, (int)p.size());
        memcpy(pkt->data, p.data(), p.size());
        int ret = avcodec_send_packet(ctx, pkt);
        av_packet_unref(pkt);
        if (ret < 0) {
            result.errors++;
            continue;
        }
        while (true) {
            ret = avcodec_receive_frame(ctx, frame);
            if (ret < 0) break;
            const int ch = frame->ch_layout.nb_channels;
            result.channels = ch;
            for (int i = 0; i < frame->nb_samples; i++) {
                for (int c = 0; c < ch; c++) {
                    float v = frame->format == AV_SAMPLE_FMT_FLTP
                                  ? ((const float *)frame->extended_data[c])[i]
                                  : 0.0f;
                    result.samples.push_back(v);
                }
            }
            result.framesDecoded++;
            av_frame_unref(frame);
        }
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    av_log_set_callback(av_log_default_callback);
    {
        std::lock_guard<std::mutex> lock(gLogMutex);
        gLogSink = nullptr;
    }
    return result;
}

std::vector<std::vector<uint8_t>> EldEncodeSignal(const std::vector<float> &interleaved,
                                                  int channels, int bitRate, int sampleRate) {
    std::vector<std::vector<uint8_t>> packets;
    EncoderConfig config = {39,         bitRate, 3,   channels,       sampleRate,
                            sampleRate, 5,       480, {0, 1, 0, 1, 1}};
    AacEldEncoder *enc = nullptr;
    if (EncoderOpen(&config, &enc) != kEncoderOk) return packets;
    EncoderSlot slot;
    if (EncoderInit(enc, &slot) != kEncoderOk) {
        EncoderClose(enc);
        return packets;
    }
    const size_t block = 480 * (size_t)channels;
    uint8_t out[8000];
    for (size_t pos = 0; pos + block <= interleaved.size(); pos += block) {
        int n = EncoderEncode(enc, interleaved.data() + pos, (int)block, &slot, out, sizeof(out));
        if (n > 0) packets.emplace_back(out, out + n);
        if (n < 0) packets.emplace_back(); // an empty packet marks the failure
    }
    EncoderClose(enc);
    return packets;
}

int EldFindDelay(const std::vector<float> &input, const std::vector<float> &decoded, int channels,
                 int channel, int maxDelay) {
    const size_t frames = std::min(input.size(), decoded.size()) / channels;
    int best = 0;
    double bestScore = -1e300;
    for (int d = 0; d <= maxDelay; d++) {
        double score = 0;
        for (size_t i = 0; i + d < frames; i++) {
            score += (double)input[i * channels + channel] * decoded[(i + d) * channels + channel];
        }
        if (score > bestScore) {
            bestScore = score;
            best = d;
        }
    }
    return best;
}

double EldSnrDb(const std::vector<float> &input, const std::vector<float> &decoded, int channels,
                int channel, int delay, size_t from, size_t to) {
    double sig = 0, err = 0;
    for (size_t i = from; i < to; i++) {
        size_t j = i + (size_t)delay;
        if (j * channels + channel >= decoded.size()) break;
        double x = input[i * channels + channel], y = decoded[j * channels + channel];
        sig += x * x;
        err += (x - y) * (x - y);
    }
    if (err <= 0) return 200.0;
    return 10.0 * log10(sig / err);
}
