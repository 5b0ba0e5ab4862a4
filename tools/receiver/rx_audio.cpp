#include "tools/receiver/rx_audio.h"

#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

#include "tools/receiver/rx_audio_packets.h"
#include "tools/receiver/rx_log.h"
#include "tools/receiver/rx_rtsp.h"
#include "tools/receiver/rx_video.h"

const uint8_t kEldAudioSpecificConfig[4] = {0xF8, 0xE8, 0x50, 0x00};

namespace {

constexpr size_t kAnalysisLimit = 60 * kAudioSampleRate; // mono samples kept for analysis
constexpr float kOnsetLevel = 0.1f;                      // -20 dBFS
constexpr int64_t kOnsetQuiet = kAudioSampleRate * 3 / 10;
constexpr int64_t kMaxSilenceFill = 10 * kAudioSampleRate;

} // namespace

struct AudioSink {
    int codec;           // kRxAacEld, kRxAlac or kRxPcm
    int framesPerPacket; // samples a lost packet stands for
    uint32_t alac[11];   // Apple Lossless: the fmtp numbers
    AVCodecContext *decoder;
    AVFrame *frame;
    AVPacket *packet;
    AudioSinkStats stats;
    std::string wavPath;
    FILE *wav;
    // Placement: a stretch starts at a WAV position with an RTP time.
    bool stretchOpen;
    int64_t stretchSample;
    uint32_t stretchRtp;
    int64_t written; // sample frames written so far
    std::vector<float> mono;
    std::vector<uint32_t> onsets;
    int64_t lastLoud; // sample index of the last loud sample, -1 before any
};

static void PutBe32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> (24 - 8 * i));
}

// The decoder for the stream's codec; 16-bit samples need none.
static bool OpenDecoder(AudioSink *sink) {
    avcodec_free_context(&sink->decoder);
    if (sink->codec == kRxPcm) return true;
    bool alac = sink->codec == kRxAlac;
    const AVCodec *codec = avcodec_find_decoder(alac ? AV_CODEC_ID_ALAC : AV_CODEC_ID_AAC);
    if (!codec) {
        RxLog("Audio: no %s decoder in this libavcodec", alac ? "ALAC" : "AAC");
        return false;
    }
    sink->decoder = avcodec_alloc_context3(codec);
    if (!sink->decoder) return false;
    // Apple Lossless: the 36-byte "alac" atom its decoder reads, built from the fmtp numbers.
    uint8_t cookie[36] = {0, 0, 0, 36, 'a', 'l', 'a', 'c', 0, 0, 0, 0};
    const uint8_t *extra = kEldAudioSpecificConfig;
    size_t extraSize = sizeof kEldAudioSpecificConfig;
    if (alac) {
        const uint32_t *v = sink->alac;
        PutBe32(cookie + 12, v[0]);
        cookie[16] = (uint8_t)v[1];
        cookie[17] = (uint8_t)v[2];
        cookie[18] = (uint8_t)v[3];
        cookie[19] = (uint8_t)v[4];
        cookie[20] = (uint8_t)v[5];
        cookie[21] = (uint8_t)v[6];
        cookie[22] = (uint8_t)(v[7] >> 8);
        cookie[23] = (uint8_t)v[7];
        PutBe32(cookie + 24, v[8]);
        PutBe32(cookie + 28, v[9]);
        PutBe32(cookie + 32, v[10]);
        extra = cookie;
        extraSize = sizeof cookie;
    }
    sink->decoder->extradata = (uint8_t *)av_mallocz(extraSize + AV_INPUT_BUFFER_PADDING_SIZE);
    memcpy(sink->decoder->extradata, extra, extraSize);
    sink->decoder->extradata_size = (int)extraSize;
    sink->decoder->sample_rate = kAudioSampleRate;
    av_channel_layout_default(&sink->decoder->ch_layout, 2);
    if (avcodec_open2(sink->decoder, codec, nullptr) < 0) {
        RxLog("Audio: could not open the %s decoder", alac ? "ALAC" : "AAC decoder for AAC-ELD");
        avcodec_free_context(&sink->decoder);
        return false;
    }
    return true;
}

static void PutLe32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}

static void WavHeader(uint8_t header[44], uint64_t frames) {
    uint64_t bytes = frames * 4;
    if (bytes > 0xffffffffull - 36) bytes = 0xffffffffull - 36;
    memcpy(header, "RIFF", 4);
    PutLe32(header + 4, (uint32_t)(36 + bytes));
    memcpy(header + 8, "WAVEfmt ", 8);
    PutLe32(header + 16, 16);
    header[20] = 1; // PCM
    header[21] = 0;
    header[22] = 2; // channels
    header[23] = 0;
    PutLe32(header + 24, kAudioSampleRate);
    PutLe32(header + 28, kAudioSampleRate * 4);
    header[32] = 4; // block align
    header[33] = 0;
    header[34] = 16; // bits
    header[35] = 0;
    memcpy(header + 36, "data", 4);
    PutLe32(header + 40, (uint32_t)bytes);
}

AudioSink *AudioSinkCreate(const std::string &wavPath) {
    AudioSink *sink = new AudioSink();
    DecoderLogInstall();
    sink->frame = av_frame_alloc();
    sink->packet = av_packet_alloc();
    sink->lastLoud = -1;
    sink->codec = kRxAacEld;
    sink->framesPerPacket = kAudioFrameSamples;
    OpenDecoder(sink);
    sink->wavPath = wavPath;
    if (!wavPath.empty()) {
        sink->wav = fopen(wavPath.c_str(), "wb");
        uint8_t header[44];
        WavHeader(header, 0);
        if (!sink->wav || fwrite(header, 1, sizeof header, sink->wav) != sizeof header) {
            RxLog("Audio: cannot create %s: %s", wavPath.c_str(), strerror(errno));
            if (sink->wav) fclose(sink->wav);
            sink->wav = nullptr;
            sink->stats.wavFailed = true;
        }
    }
    return sink;
}

// Appends sample frames (interleaved stereo, full scale 1.0) to the WAV and the analysis.
static void Append(AudioSink *sink, const float *interleaved, int64_t frames) {
    if (frames <= 0) return;
    std::vector<int16_t> pcm;
    if (sink->wav) pcm.resize((size_t)frames * 2);
    for (int64_t i = 0; i < frames; i++) {
        float left = interleaved ? interleaved[2 * i] : 0.0f;
        float right = interleaved ? interleaved[2 * i + 1] : 0.0f;
        if (sink->wav) {
            for (int c = 0; c < 2; c++) {
                float v = (c ? right : left) * 32767.0f;
                v = v > 32767.0f ? 32767.0f : v < -32768.0f ? -32768.0f : v;
                pcm[(size_t)(2 * i + c)] = (int16_t)lrintf(v);
            }
        }
        float m = 0.5f * (left + right);
        int64_t index = sink->written + i;
        if (std::fabs(left) >= kOnsetLevel || std::fabs(right) >= kOnsetLevel) {
            if ((sink->lastLoud < 0 || index - sink->lastLoud > kOnsetQuiet) &&
                sink->onsets.size() < 100000)
                sink->onsets.push_back(sink->stretchRtp + (uint32_t)(index - sink->stretchSample));
            sink->lastLoud = index;
        }
        if (sink->mono.size() < kAnalysisLimit) sink->mono.push_back(m);
    }
    if (sink->wav && fwrite(pcm.data(), sizeof(int16_t), pcm.size(), sink->wav) != pcm.size()) {
        RxLog("Audio: writing %s failed", sink->wavPath.c_str());
        fclose(sink->wav);
        sink->wav = nullptr;
        sink->stats.wavFailed = true;
    }
    sink->written += frames;
    sink->stats.samplesWritten = (uint64_t)sink->written;
}

// Where a frame of this RTP time goes; fills the gap before it with silence. False when
// the frame falls on samples already written.
static bool Place(AudioSink *sink, uint32_t rtpTime) {
    if (!sink->stretchOpen) {
        sink->stretchOpen = true;
        sink->stretchSample = sink->written;
        sink->stretchRtp = rtpTime;
    }
    int64_t position = sink->stretchSample + (int32_t)(rtpTime - sink->stretchRtp);
    if (position > sink->written + kMaxSilenceFill || position < sink->written - kMaxSilenceFill) {
        RxLog("Audio: RTP time jumps by %lld samples; a new stretch starts",
              (long long)(position - sink->written));
        sink->stretchSample = sink->written;
        sink->stretchRtp = rtpTime;
        position = sink->written;
    }
    if (position < sink->written) {
        if (sink->stats.overlaps++ == 0)
            RxLog("Audio: a frame's RTP time %u falls on samples written already", rtpTime);
        return false;
    }
    Append(sink, nullptr, position - sink->written);
    return true;
}

void AudioSinkSetFormat(AudioSink *sink, int codec, int framesPerPacket, const uint32_t alac[11]) {
    sink->codec = codec;
    sink->framesPerPacket = framesPerPacket > 0 ? framesPerPacket : kAudioFrameSamples;
    if (alac) memcpy(sink->alac, alac, sizeof sink->alac);
    OpenDecoder(sink);
}

// 16-bit big-endian interleaved stereo: no decoder, only a check of the length.
static void PcmFrame(AudioSink *sink, uint32_t rtpTime, const uint8_t *data, size_t length) {
    if (length == 0 || length % 4 != 0) {
        sink->stats.decodeErrors++;
        RxLog("Audio: a 16-bit frame of %zu bytes at RTP time %u is not whole stereo samples",
              length, rtpTime);
        return;
    }
    sink->stats.framesDecoded++;
    if (!Place(sink, rtpTime)) return;
    size_t samples = length / 4;
    std::vector<float> interleaved(samples * 2);
    for (size_t i = 0; i < samples * 2; i++)
        interleaved[i] = (float)(int16_t)(data[2 * i] << 8 | data[2 * i + 1]) / 32768.0f;
    Append(sink, interleaved.data(), (int64_t)samples);
}

void AudioSinkStartStream(AudioSink *sink) {
    if (sink->decoder) avcodec_flush_buffers(sink->decoder);
    sink->stretchOpen = false;
}

void AudioSinkFrame(AudioSink *sink, uint32_t rtpTime, const uint8_t *data, size_t length) {
    if (sink->codec == kRxPcm) {
        PcmFrame(sink, rtpTime, data, length);
        return;
    }
    if (!sink->decoder) return;
    DecoderLogCountInto(&sink->stats.decodeErrors);
    av_packet_unref(sink->packet);
    if (av_new_packet(sink->packet, (int)length) < 0) {
        DecoderLogCountInto(nullptr);
        return;
    }
    memcpy(sink->packet->data, data, length);
    int result = avcodec_send_packet(sink->decoder, sink->packet);
    if (result < 0) {
        sink->stats.decodeErrors++;
        char text[128];
        av_strerror(result, text, sizeof text);
        RxLog("Audio: the decoder refused the frame at RTP time %u: %s", rtpTime, text);
    }
    bool placed = false;
    for (;;) {
        result = avcodec_receive_frame(sink->decoder, sink->frame);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) break;
        if (result < 0) {
            sink->stats.decodeErrors++;
            break;
        }
        sink->stats.framesDecoded++;
        int channels = sink->frame->ch_layout.nb_channels;
        int samples = sink->frame->nb_samples;
        int format = sink->frame->format;
        if ((format != AV_SAMPLE_FMT_FLTP && format != AV_SAMPLE_FMT_S16P) || channels < 1 ||
            samples <= 0) {
            sink->stats.decodeErrors++;
            RxLog("Audio: decoded frame in an unexpected form (format %d, %d channels)",
                  sink->frame->format, channels);
            continue;
        }
        if (!placed && !Place(sink, rtpTime)) continue;
        placed = true;
        std::vector<float> interleaved((size_t)samples * 2);
        const uint8_t *left = sink->frame->extended_data[0];
        const uint8_t *right = sink->frame->extended_data[channels > 1 ? 1 : 0];
        for (int i = 0; i < samples; i++) {
            if (format == AV_SAMPLE_FMT_FLTP) {
                interleaved[(size_t)2 * i] = ((const float *)left)[i];
                interleaved[(size_t)2 * i + 1] = ((const float *)right)[i];
            } else {
                interleaved[(size_t)2 * i] = ((const int16_t *)left)[i] / 32768.0f;
                interleaved[(size_t)2 * i + 1] = ((const int16_t *)right)[i] / 32768.0f;
            }
        }
        Append(sink, interleaved.data(), samples);
    }
    DecoderLogCountInto(nullptr);
}

void AudioSinkLost(AudioSink *sink, uint32_t rtpTime) {
    if (!Place(sink, rtpTime)) return;
    Append(sink, nullptr, sink->framesPerPacket);
    sink->stats.silentFrames++;
}

AudioSinkStats AudioSinkGetStats(const AudioSink *sink) {
    return sink->stats;
}

const std::vector<uint32_t> &AudioSinkOnsets(const AudioSink *sink) {
    return sink->onsets;
}

ToneAnalysis AudioSinkAnalyse(const AudioSink *sink) {
    return AnalyseTone(sink->mono.data(), sink->mono.size());
}

bool AudioSinkClose(AudioSink *sink) {
    if (!sink) return true;
    if (sink->wav) {
        uint8_t header[44];
        WavHeader(header, (uint64_t)sink->written);
        bool ok = fseek(sink->wav, 0, SEEK_SET) == 0 &&
                  fwrite(header, 1, sizeof header, sink->wav) == sizeof header;
        ok = fclose(sink->wav) == 0 && ok;
        if (!ok) {
            sink->stats.wavFailed = true;
            RxLog("Audio: finishing %s failed", sink->wavPath.c_str());
        } else {
            RxLog("Audio: wrote %.2f s of sound to %s", (double)sink->written / kAudioSampleRate,
                  sink->wavPath.c_str());
        }
    }
    avcodec_free_context(&sink->decoder);
    av_frame_free(&sink->frame);
    av_packet_free(&sink->packet);
    bool ok = !sink->stats.wavFailed;
    delete sink;
    return ok;
}

// --- Analysis ----------------------------------------------------------------------

static void Fft(std::vector<std::complex<double>> &a) {
    size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; i++) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t length = 2; length <= n; length <<= 1) {
        double angle = -2 * M_PI / (double)length;
        std::complex<double> step(std::cos(angle), std::sin(angle));
        for (size_t i = 0; i < n; i += length) {
            std::complex<double> w(1);
            for (size_t k = 0; k < length / 2; k++) {
                std::complex<double> u = a[i + k], v = a[i + k + length / 2] * w;
                a[i + k] = u + v;
                a[i + k + length / 2] = u - v;
                w *= step;
            }
        }
    }
}

ToneAnalysis AnalyseTone(const float *samples, size_t count) {
    ToneAnalysis tone{};
    // The louder part only: leading and trailing silence would dilute level and SNR.
    size_t begin = 0, end = count;
    while (begin < end && std::fabs(samples[begin]) < 1e-4f)
        begin++;
    while (end > begin && std::fabs(samples[end - 1]) < 1e-4f)
        end--;
    size_t n = 1;
    while (n * 2 <= end - begin && n < 65536)
        n *= 2;
    if (end - begin < 4096) return tone;
    size_t start = begin + (end - begin - n) / 2;
    double sum = 0;
    std::vector<std::complex<double>> spectrum(n);
    for (size_t i = 0; i < n; i++) {
        double v = samples[start + i];
        sum += v * v;
        tone.peak = std::max(tone.peak, std::fabs(v));
        double window = 0.5 - 0.5 * std::cos(2 * M_PI * (double)i / (double)(n - 1));
        spectrum[i] = v * window;
    }
    Fft(spectrum);
    size_t lowest = (size_t)(20.0 * (double)n / kAudioSampleRate) + 1;
    size_t best = lowest;
    double total = 0;
    std::vector<double> power(n / 2);
    for (size_t k = 1; k < n / 2; k++) {
        power[k] = std::norm(spectrum[k]);
        total += power[k];
        if (k >= lowest && power[k] > power[best]) best = k;
    }
    double offset = 0;
    if (best > 1 && best + 1 < n / 2 && power[best] > 0) {
        double a = std::log(power[best - 1] + 1e-300), b = std::log(power[best]),
               c = std::log(power[best + 1] + 1e-300);
        double denominator = a - 2 * b + c;
        if (denominator != 0) offset = 0.5 * (a - c) / denominator;
    }
    double signal = 0;
    for (size_t k = best > 4 ? best - 4 : 1; k <= best + 4 && k < n / 2; k++)
        signal += power[k];
    double noise = total - signal;
    tone.valid = true;
    tone.seconds = (double)n / kAudioSampleRate;
    tone.frequencyHz = ((double)best + offset) * kAudioSampleRate / (double)n;
    tone.rms = std::sqrt(sum / (double)n);
    tone.rmsDbfs = tone.rms > 0 ? 20 * std::log10(tone.rms) : -200;
    tone.snrDb = noise > 0 ? 10 * std::log10(signal / noise) : 200;
    return tone;
}
