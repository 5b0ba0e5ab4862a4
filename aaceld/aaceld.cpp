#include "aaceld/aaceld.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "aaceld/eld_coder.h"
#include "base/log.h"

namespace {

constexpr int32_t kObjectTypeEld = 39;
constexpr int kQueueFrames = 8192;
constexpr uint32_t kSlotMagic = 0x454c4431u; // "ELD1"

// What the slot carries: a mark that EncoderInit ran for this encoder, and counters.
struct SlotState {
    uint32_t magic;
    uint32_t encoderTag; // low bits of the encoder's address
    uint64_t framesOut;
};
static_assert(sizeof(SlotState) <= sizeof(EncoderSlot), "slot too small");

uint32_t EncoderTag(const void *encoder) {
    return (uint32_t)(uintptr_t)encoder;
}

int SampleRateIndex(int rate) {
    return rate == 48000 ? 3 : 4;
}

} // namespace

struct AacEldEncoder {
    EncoderConfig config;
    int channels;
    int initialized;
    float queue[kQueueFrames * 2]; // interleaved, 16-bit units
    int queued;                    // sample frames in the queue
    EldCoder coder;
};

int32_t EncoderQueryRateRange(int32_t objectType, int32_t bitRate, int32_t channels, int32_t flags,
                              int32_t *lowest, int32_t *preferred, int32_t *highest) {
    (void)flags;
    if (lowest) *lowest = 0;
    if (preferred) *preferred = 0;
    if (highest) *highest = 0;
    if (!lowest || !preferred || !highest) return kEncoderBadArgument;
    if (objectType != kObjectTypeEld || channels < 1 || channels > 2) return kEncoderUnsupported;
    if (bitRate < 8000 * channels || bitRate > 576000 * channels) return kEncoderUnsupported;
    *lowest = 44100;
    *preferred = 44100;
    *highest = 48000;
    return kEncoderOk;
}

int32_t EncoderOpen(const EncoderConfig *config, AacEldEncoder **encoder) {
    if (!encoder) return kEncoderBadArgument;
    *encoder = nullptr;
    if (!config) return kEncoderBadArgument;
    const EncoderConfig &c = *config;
    if (c.objectType != kObjectTypeEld || c.frameLength != 480 || c.channelMode < 1 ||
        c.channelMode > 2 || (c.sampleRate != 44100 && c.sampleRate != 48000) ||
        (c.outputRate != 0 && c.outputRate != c.sampleRate) || c.bitRate < 8000 * c.channelMode ||
        c.bitRate > 576000 * c.channelMode) {
        DebugLog(1,
                 "AAC-ELD: unsupported configuration (type %d, %d bit/s, %d channels, %d Hz, %d "
                 "samples)\n",
                 c.objectType, c.bitRate, c.channelMode, c.sampleRate, c.frameLength);
        return kEncoderUnsupported;
    }
    AacEldEncoder *e = new (std::nothrow) AacEldEncoder;
    if (!e) return kEncoderNoMemory;
    e->config = c;
    e->channels = c.channelMode;
    e->initialized = 0;
    e->queued = 0;
    *encoder = e;
    return kEncoderOk;
}

int32_t EncoderInit(AacEldEncoder *encoder, EncoderSlot *slot) {
    if (!encoder || !slot) return kEncoderBadArgument;
    if (!EldCoderInit(&encoder->coder, encoder->config.sampleRate, encoder->config.bitRate,
                      encoder->channels)) {
        return kEncoderUnsupported;
    }
    encoder->queued = 0;
    encoder->initialized = 1;
    SlotState state = {kSlotMagic, EncoderTag(encoder), 0};
    memset(slot->bytes, 0, sizeof(slot->bytes));
    memcpy(slot->bytes, &state, sizeof(state));
    return kEncoderOk;
}

int32_t EncoderGetInfo(const AacEldEncoder *encoder, EncoderInfo *info) {
    if (!encoder) return kEncoderBadArgument;
    if (!info) return kEncoderOk;
    memset(info, 0, sizeof(*info));
    // Object type 39 through the escape (31, then 39 - 32), rate index, channel
    // configuration, 480-sample frames, no resilience tools, no SBR, no extensions.
    uint32_t bits = 0;
    bits |= 31u << 27;
    bits |= (uint32_t)(kObjectTypeEld - 32) << 21;
    bits |= (uint32_t)SampleRateIndex(encoder->config.sampleRate) << 17;
    bits |= (uint32_t)encoder->channels << 13;
    bits |= 1u << 12;
    for (int i = 0; i < 4; i++)
        info->audioSpecificConfig[i] = (uint8_t)(bits >> (24 - 8 * i));
    info->audioSpecificConfigLength = 4;
    info->frameLength = 480;
    info->channels = encoder->channels;
    info->sampleRate = encoder->config.sampleRate;
    info->bitRate = encoder->config.bitRate;
    info->delay = 240;
    info->maxOutputBytes = 768 * encoder->channels;
    return kEncoderOk;
}

int32_t EncoderEncode(AacEldEncoder *encoder, const float *samples, int32_t count,
                      EncoderSlot *slot, uint8_t *out, int32_t capacity) {
    if (!encoder || !slot || !out || count < 0 || (count > 0 && !samples))
        return -kEncoderBadArgument;
    SlotState state;
    memcpy(&state, slot->bytes, sizeof(state));
    if (!encoder->initialized || state.magic != kSlotMagic ||
        state.encoderTag != EncoderTag(encoder)) {
        return -kEncoderBadArgument;
    }
    const int channels = encoder->channels;
    if (count % channels != 0) return -kEncoderBadArgument;
    const int frames = count / channels;
    if (frames > kQueueFrames - encoder->queued) {
        DebugLog(1, "AAC-ELD: input queue full, %d sample frames dropped\n", frames);
        return -kEncoderBadArgument;
    }
    float *dst = encoder->queue + encoder->queued * channels;
    for (int i = 0; i < count; i++)
        dst[i] = samples[i] * 32768.0f; // clipping happens in the coder
    encoder->queued += frames;
    if (encoder->queued < kEldFrameLength) return 0;
    int bytes = EldCoderEncode(&encoder->coder, encoder->queue, out, capacity);
    encoder->queued -= kEldFrameLength;
    memmove(encoder->queue, encoder->queue + kEldFrameLength * channels,
            sizeof(float) * (size_t)(encoder->queued * channels));
    if (bytes < 0) return -kEncoderUnsupported;
    state.framesOut++;
    memcpy(slot->bytes, &state, sizeof(state));
    return bytes;
}

void EncoderClose(AacEldEncoder *encoder) {
    delete encoder;
}
