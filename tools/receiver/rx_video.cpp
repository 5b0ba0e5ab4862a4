#include "tools/receiver/rx_video.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "tools/receiver/rx_log.h"
#include "tools/receiver/rx_timecode.h"

struct VideoSink {
    AVCodecContext *decoder;
    AVFrame *frame;
    AVFrame *lastPicture; // reference to the last decoded picture
    AVPacket *packet;
    VideoStats stats;
    // Recording.
    std::string recordPath;
    bool recordRaw;
    FILE *rawFile;
    AVFormatContext *muxer;
    std::vector<uint8_t> recordExtradata; // avcC of the recording
    bool muxerHeaderWritten;
    int64_t firstPts;
    int64_t lastPts;
    int64_t lastScaledPts; // in the stream's time base
    bool sawKeyframe;
    std::vector<uint8_t> pendingParameterSets; // Annex B; sent ahead of the next picture
    int timecodeCell;                          // 0: no time code expected
    int timecodeScreenWidth;
    bool haveTimecode;
    uint32_t timecode;
    int64_t nextPts; // microseconds of stream clock, given to the next packet
    bool lumaTrace;
    std::vector<std::pair<double, double>> luma; // stream-clock seconds, mean luma
};

// Error messages the decoder prints while a packet is being decoded are counted
// as decode errors: concealed slices do not show up in the return codes.
static thread_local VideoSink *decodingSink = nullptr;
static void (*defaultLogCallback)(void *, int, const char *, va_list) = av_log_default_callback;

static thread_local uint64_t *otherErrorCounter = nullptr;

static void DecoderLogCallback(void *avcl, int level, const char *format, va_list args) {
    if ((decodingSink || otherErrorCounter) && level <= AV_LOG_ERROR) {
        if (decodingSink)
            decodingSink->stats.decodeErrors++;
        else
            (*otherErrorCounter)++;
        char text[512];
        va_list copy;
        va_copy(copy, args);
        vsnprintf(text, sizeof text, format, copy);
        va_end(copy);
        size_t n = strlen(text);
        while (n && (text[n - 1] == '\n' || text[n - 1] == '\r'))
            text[--n] = 0;
        RxLog("Decoder error: %s", text);
        return;
    }
    if (level <= AV_LOG_WARNING) defaultLogCallback(avcl, level, format, args);
}

void DecoderLogInstall() {
    av_log_set_callback(DecoderLogCallback);
}

void DecoderLogCountInto(uint64_t *counter) {
    otherErrorCounter = counter;
}

static bool OpenDecoder(VideoSink *sink) {
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec) {
        RxLog("No H.264 decoder in this libavcodec");
        return false;
    }
    sink->decoder = avcodec_alloc_context3(codec);
    if (!sink->decoder) return false;
    // One thread: each packet yields its picture at once, so counts are exact.
    sink->decoder->thread_count = 1;
    sink->decoder->err_recognition = AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_EXPLODE;
    if (avcodec_open2(sink->decoder, codec, nullptr) < 0) {
        RxLog("Could not open the H.264 decoder");
        avcodec_free_context(&sink->decoder);
        return false;
    }
    return true;
}

VideoSink *VideoSinkCreate(const std::string &recordPath) {
    VideoSink *sink = new VideoSink();
    DecoderLogInstall();
    sink->frame = av_frame_alloc();
    sink->lastPicture = av_frame_alloc();
    sink->packet = av_packet_alloc();
    OpenDecoder(sink);
    sink->recordPath = recordPath;
    size_t dot = recordPath.rfind('.');
    std::string extension = dot == std::string::npos ? "" : recordPath.substr(dot);
    sink->recordRaw = extension == ".h264" || extension == ".264";
    sink->firstPts = AV_NOPTS_VALUE;
    sink->lastPts = AV_NOPTS_VALUE;
    sink->lastScaledPts = AV_NOPTS_VALUE;
    sink->nextPts = AV_NOPTS_VALUE;
    return sink;
}

// Mean of the luma plane over a sparse grid of samples (0..255).
static double MeanLuma(const AVFrame *frame) {
    if (!frame->data[0] || frame->width <= 0 || frame->height <= 0) return 0;
    uint64_t sum = 0, count = 0;
    for (int y = 0; y < frame->height; y += 4) {
        const uint8_t *row = frame->data[0] + (ptrdiff_t)y * frame->linesize[0];
        for (int x = 0; x < frame->width; x += 4) {
            sum += row[x];
            count++;
        }
    }
    return count ? (double)sum / (double)count : 0;
}

static void ReceiveFrames(VideoSink *sink) {
    for (;;) {
        int result = avcodec_receive_frame(sink->decoder, sink->frame);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return;
        if (result < 0) {
            sink->stats.decodeErrors++;
            RxLog("Decoder returned error %d while receiving a picture", result);
            return;
        }
        if ((sink->frame->flags & AV_FRAME_FLAG_CORRUPT) || sink->frame->decode_error_flags) {
            sink->stats.decodeErrors++;
            RxLog("Decoded picture is marked corrupt (error flags 0x%x)",
                  sink->frame->decode_error_flags);
        }
        sink->stats.framesDecoded++;
        if (sink->frame->width != sink->stats.width || sink->frame->height != sink->stats.height)
            RxLog("Decoded picture size %dx%d", sink->frame->width, sink->frame->height);
        sink->stats.width = sink->frame->width;
        sink->stats.height = sink->frame->height;
        if (sink->timecodeCell > 0) {
            uint32_t code = 0;
            if (ReadTimecode(sink->frame->data[0], sink->frame->linesize[0], sink->frame->width,
                             sink->frame->height, sink->timecodeCell, sink->timecodeScreenWidth,
                             &code)) {
                sink->haveTimecode = true;
                sink->timecode = code;
            } else {
                sink->stats.timecodesUnreadable++;
            }
        }
        if (sink->lumaTrace && sink->luma.size() < 1000000 && sink->frame->pts != AV_NOPTS_VALUE)
            sink->luma.push_back({(double)sink->frame->pts / 1e6, MeanLuma(sink->frame)});
        av_frame_unref(sink->lastPicture);
        av_frame_move_ref(sink->lastPicture, sink->frame);
    }
}

static void Decode(VideoSink *sink, const uint8_t *data, size_t length) {
    if (!sink->decoder) return;
    decodingSink = sink;
    int result;
    if (data) {
        av_packet_unref(sink->packet);
        if (av_new_packet(sink->packet, (int)length) < 0) {
            decodingSink = nullptr;
            return;
        }
        memcpy(sink->packet->data, data, length);
        sink->packet->pts = sink->nextPts;
        result = avcodec_send_packet(sink->decoder, sink->packet);
    } else {
        result = avcodec_send_packet(sink->decoder, nullptr);
    }
    if (result < 0 && result != AVERROR_EOF) {
        sink->stats.decodeErrors++;
        char text[128];
        av_strerror(result, text, sizeof text);
        RxLog("Decoder refused a packet: %s", text);
    }
    ReceiveFrames(sink);
    decodingSink = nullptr;
}

void VideoSinkDrain(VideoSink *sink) {
    if (!sink->decoder) return;
    Decode(sink, nullptr, 0);
    avcodec_flush_buffers(sink->decoder);
}

void VideoSinkReset(VideoSink *sink) {
    VideoSinkDrain(sink);
    sink->pendingParameterSets.clear();
}

static void RecordOpen(VideoSink *sink, const uint8_t *avcc, size_t length) {
    if (sink->recordRaw) {
        sink->rawFile = fopen(sink->recordPath.c_str(), "wb");
        if (!sink->rawFile) {
            RxLog("Cannot create recording %s: %s", sink->recordPath.c_str(), strerror(errno));
            sink->stats.recordFailed = true;
            return;
        }
        RxLog("Recording raw H.264 to %s", sink->recordPath.c_str());
        return;
    }
    sink->recordExtradata.assign(avcc, avcc + length);
    if (avformat_alloc_output_context2(&sink->muxer, nullptr, nullptr, sink->recordPath.c_str()) <
            0 ||
        !sink->muxer) {
        RxLog("No container format for recording %s", sink->recordPath.c_str());
        sink->stats.recordFailed = true;
        return;
    }
    AVStream *stream = avformat_new_stream(sink->muxer, nullptr);
    AVCodecParameters *parameters = stream->codecpar;
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_H264;
    parameters->width = 0;
    parameters->height = 0;
    parameters->extradata = (uint8_t *)av_mallocz(length + AV_INPUT_BUFFER_PADDING_SIZE);
    memcpy(parameters->extradata, avcc, length);
    parameters->extradata_size = (int)length;
    stream->time_base = AVRational{1, 1000000};
    if (avio_open(&sink->muxer->pb, sink->recordPath.c_str(), AVIO_FLAG_WRITE) < 0) {
        RxLog("Cannot create recording %s", sink->recordPath.c_str());
        avformat_free_context(sink->muxer);
        sink->muxer = nullptr;
        sink->stats.recordFailed = true;
        return;
    }
    RxLog("Recording to %s", sink->recordPath.c_str());
}

void VideoSinkCodec(VideoSink *sink, const AvcConfig &config, const uint8_t *raw,
                    size_t rawLength) {
    std::vector<uint8_t> annexB;
    AvcConfigToAnnexB(config, &annexB);
    // Parameter sets go to the decoder in-band with the next picture (alone they
    // make no access unit), so a changed record needs no new decoder.
    sink->pendingParameterSets = annexB;
    if (sink->recordPath.empty() || sink->stats.recordFailed) return;
    if (!sink->rawFile && !sink->muxer) RecordOpen(sink, raw, rawLength);
    if (sink->rawFile) {
        fwrite(annexB.data(), 1, annexB.size(), sink->rawFile);
    } else if (sink->muxer && (rawLength != sink->recordExtradata.size() ||
                               memcmp(raw, sink->recordExtradata.data(), rawLength) != 0)) {
        RxLog("Codec record changed; the recording keeps its first one");
    }
}

static void RecordPicture(VideoSink *sink, const uint8_t *avcc, size_t length,
                          const std::vector<uint8_t> &annexB, bool idr, double timestamp) {
    if (sink->rawFile) {
        if (fwrite(annexB.data(), 1, annexB.size(), sink->rawFile) == annexB.size())
            sink->stats.framesRecorded++;
        return;
    }
    if (!sink->muxer) return;
    if (!sink->sawKeyframe && !idr) return; // a player could not start before the first IDR
    sink->sawKeyframe = true;
    if (!sink->muxerHeaderWritten) {
        // The container wants the picture size: take it from the decoder, which
        // has just read this IDR picture's parameter sets.
        AVCodecParameters *parameters = sink->muxer->streams[0]->codecpar;
        parameters->width = sink->decoder ? sink->decoder->width : 0;
        parameters->height = sink->decoder ? sink->decoder->height : 0;
        if (avformat_write_header(sink->muxer, nullptr) < 0) {
            RxLog("Cannot write the recording's header");
            sink->stats.recordFailed = true;
            avio_closep(&sink->muxer->pb);
            avformat_free_context(sink->muxer);
            sink->muxer = nullptr;
            return;
        }
        sink->muxerHeaderWritten = true;
    }
    int64_t pts = (int64_t)(timestamp * 1e6);
    if (sink->firstPts == AV_NOPTS_VALUE) sink->firstPts = pts;
    pts -= sink->firstPts;
    // The sender's clock may step back; a container needs rising times.
    if (sink->lastPts != AV_NOPTS_VALUE && pts <= sink->lastPts) pts = sink->lastPts + 1;
    sink->lastPts = pts;
    AVPacket *packet = av_packet_alloc();
    if (av_new_packet(packet, (int)length) < 0) {
        av_packet_free(&packet);
        return;
    }
    memcpy(packet->data, avcc, length);
    AVStream *stream = sink->muxer->streams[0];
    int64_t scaled = av_rescale_q(pts, AVRational{1, 1000000}, stream->time_base);
    if (sink->lastScaledPts != AV_NOPTS_VALUE && scaled <= sink->lastScaledPts)
        scaled = sink->lastScaledPts + 1;
    sink->lastScaledPts = scaled;
    packet->pts = packet->dts = scaled;
    packet->flags = idr ? AV_PKT_FLAG_KEY : 0;
    packet->stream_index = 0;
    if (av_interleaved_write_frame(sink->muxer, packet) < 0)
        RxLog("Recording: writing a picture failed");
    else
        sink->stats.framesRecorded++;
    av_packet_free(&packet);
}

void VideoSinkPicture(VideoSink *sink, const uint8_t *avcc, size_t avccLength,
                      const std::vector<uint8_t> &annexB, bool idr, double timestamp) {
    sink->nextPts = (int64_t)(timestamp * 1e6);
    if (sink->pendingParameterSets.empty()) {
        Decode(sink, annexB.data(), annexB.size());
    } else {
        std::vector<uint8_t> unit = sink->pendingParameterSets;
        unit.insert(unit.end(), annexB.begin(), annexB.end());
        sink->pendingParameterSets.clear();
        Decode(sink, unit.data(), unit.size());
    }
    if (!sink->recordPath.empty() && !sink->stats.recordFailed)
        RecordPicture(sink, avcc, avccLength, annexB, idr, timestamp);
}

VideoStats VideoSinkStats(const VideoSink *sink) {
    return sink->stats;
}

bool VideoSinkWritePng(VideoSink *sink, const std::string &path) {
    AVFrame *picture = sink->lastPicture;
    if (!picture->data[0] || picture->width <= 0 || picture->height <= 0) {
        RxLog("No decoded picture to write to %s", path.c_str());
        return false;
    }
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec) {
        RxLog("No PNG encoder in this libavcodec");
        return false;
    }
    bool written = false;
    AVCodecContext *encoder = avcodec_alloc_context3(codec);
    AVFrame *rgb = av_frame_alloc();
    AVPacket *packet = av_packet_alloc();
    SwsContext *scaler = sws_getContext(
        picture->width, picture->height, (AVPixelFormat)picture->format, picture->width,
        picture->height, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
    do {
        if (!encoder || !rgb || !packet || !scaler) {
            RxLog("Cannot set up the PNG conversion");
            break;
        }
        rgb->format = AV_PIX_FMT_RGB24;
        rgb->width = picture->width;
        rgb->height = picture->height;
        if (av_frame_get_buffer(rgb, 0) < 0) break;
        sws_scale(scaler, picture->data, picture->linesize, 0, picture->height, rgb->data,
                  rgb->linesize);
        encoder->width = picture->width;
        encoder->height = picture->height;
        encoder->pix_fmt = AV_PIX_FMT_RGB24;
        encoder->time_base = AVRational{1, 25};
        if (avcodec_open2(encoder, codec, nullptr) < 0 || avcodec_send_frame(encoder, rgb) < 0 ||
            avcodec_receive_packet(encoder, packet) < 0) {
            RxLog("PNG encoding failed");
            break;
        }
        FILE *file = fopen(path.c_str(), "wb");
        if (!file) {
            RxLog("Cannot create %s: %s", path.c_str(), strerror(errno));
            break;
        }
        written = fwrite(packet->data, 1, packet->size, file) == (size_t)packet->size;
        written = (fclose(file) == 0) && written;
        if (written)
            RxLog("Wrote the last picture (%dx%d) to %s", picture->width, picture->height,
                  path.c_str());
        else
            RxLog("Writing %s failed", path.c_str());
    } while (false);
    sws_freeContext(scaler);
    av_packet_free(&packet);
    av_frame_free(&rgb);
    avcodec_free_context(&encoder);
    return written;
}

void VideoSinkClose(VideoSink *sink) {
    if (!sink) return;
    VideoSinkDrain(sink);
    if (sink->rawFile) fclose(sink->rawFile);
    if (sink->muxer) {
        if (sink->muxerHeaderWritten && av_write_trailer(sink->muxer) < 0)
            RxLog("Finishing the recording failed");
        avio_closep(&sink->muxer->pb);
        avformat_free_context(sink->muxer);
    }
    if (sink->stats.framesRecorded)
        RxLog("Recording %s holds %llu pictures", sink->recordPath.c_str(),
              (unsigned long long)sink->stats.framesRecorded);
    avcodec_free_context(&sink->decoder);
    av_frame_free(&sink->frame);
    av_frame_free(&sink->lastPicture);
    av_packet_free(&sink->packet);
    delete sink;
}

void VideoSinkSetTimecode(VideoSink *sink, int cellPixels, int screenWidth) {
    sink->timecodeCell = cellPixels;
    sink->timecodeScreenWidth = screenWidth;
}

bool VideoSinkTakeTimecode(VideoSink *sink, uint32_t *code) {
    if (!sink->haveTimecode) return false;
    sink->haveTimecode = false;
    *code = sink->timecode;
    return true;
}

void VideoSinkSetLumaTrace(VideoSink *sink, bool on) {
    sink->lumaTrace = on;
}

const std::vector<std::pair<double, double>> &VideoSinkLumaTrace(const VideoSink *sink) {
    return sink->luma;
}
