// FrameEncoder front end: the registry of implementations, creation and selection, the
// output hand-over to the mirroring connection and the avcC record.
#include "video/frame_encoder.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/log.h"
#include "video/x264_adapter.h"

namespace {

// Doubly linked in registration order; tables live for the rest of the process.
struct RegistryEntry {
    EncoderOps ops;
    RegistryEntry *previous;
    RegistryEntry *next;
};

std::mutex registryLock;
RegistryEntry *registryHead;
RegistryEntry *registryTail;

std::atomic<EncodedFrameHandler> frameHandler{nullptr};

} // namespace

EncodedVideoFrame *EncodedVideoFrameCreate(const uint8_t *codecHeader, uint64_t codecHeaderLength,
                                           const uint8_t *frameData, uint64_t frameLength) {
    auto *frame = static_cast<EncodedVideoFrame *>(calloc(1, sizeof(EncodedVideoFrame)));
    if (frame == nullptr) return nullptr;
    if (codecHeaderLength > 0) {
        frame->codecHeader = static_cast<uint8_t *>(malloc(codecHeaderLength));
        if (frame->codecHeader == nullptr) {
            free(frame);
            return nullptr;
        }
        memcpy(frame->codecHeader, codecHeader, codecHeaderLength);
        frame->codecHeaderLength = codecHeaderLength;
    }
    if (frameLength > 0) {
        frame->frameData = static_cast<uint8_t *>(malloc(frameLength));
        if (frame->frameData == nullptr) {
            free(frame->codecHeader);
            free(frame);
            return nullptr;
        }
        memcpy(frame->frameData, frameData, frameLength);
        frame->frameLength = frameLength;
    }
    return frame;
}

void EncodedVideoFrameFree(EncodedVideoFrame *frame) {
    if (frame == nullptr) return;
    free(frame->codecHeader);
    free(frame->frameData);
    free(frame);
}

void SetEncodedFrameHandler(EncodedFrameHandler handler) {
    frameHandler.store(handler);
}

void OnEncodedFrame(FrameEncoder *encoder, const uint8_t *codecHeader, uint64_t codecHeaderLength,
                    const uint8_t *frameData, uint64_t frameLength, void *connection) {
    EncodedFrameHandler handler = frameHandler.load();
    if (handler != nullptr) {
        int32_t width = encoder ? (int32_t)encoder->outputWidth : 0;
        int32_t height = encoder ? (int32_t)encoder->outputHeight : 0;
        int64_t captureNanos = encoder ? encoder->captureNanos : 0;
        handler(connection, codecHeader, codecHeaderLength, frameData, frameLength, width, height,
                captureNanos);
    }
}

EncoderOps *RegisterEncoderOps(int32_t kind) {
    std::lock_guard<std::mutex> hold(registryLock);
    for (RegistryEntry *entry = registryHead; entry != nullptr; entry = entry->next) {
        if (entry->ops.kind == kind) return nullptr;
    }
    auto *entry = static_cast<RegistryEntry *>(calloc(1, sizeof(RegistryEntry)));
    if (entry == nullptr) return nullptr;
    entry->ops.kind = kind;
    entry->previous = registryTail;
    if (registryTail != nullptr) {
        registryTail->next = entry;
    } else {
        registryHead = entry;
    }
    registryTail = entry;
    return &entry->ops;
}

int EncoderRegistryCount() {
    std::lock_guard<std::mutex> hold(registryLock);
    int count = 0;
    for (RegistryEntry *entry = registryHead; entry != nullptr; entry = entry->next)
        count++;
    return count;
}

int CreateFrameEncoder(int32_t kindMask, float inputWidth, float inputHeight, float outputWidth,
                       float outputHeight, int level, int quality, FrameEncoder **encoder) {
    *encoder = nullptr;
    EncoderOps ops{};
    bool found = false;
    {
        std::lock_guard<std::mutex> hold(registryLock);
        for (RegistryEntry *entry = registryHead; entry != nullptr; entry = entry->next) {
            // A table registered but not filled yet is not usable.
            if (entry->ops.kind != 0 && (entry->ops.kind & kindMask) == entry->ops.kind &&
                entry->ops.init != nullptr && entry->ops.encode != nullptr &&
                entry->ops.close != nullptr) {
                ops = entry->ops;
                found = true;
                break;
            }
        }
    }
    if (!found) return EncoderResultNoImplementation;

    auto *made = static_cast<FrameEncoder *>(calloc(1, sizeof(FrameEncoder)));
    if (made == nullptr) return EncoderResultSetupFailed;
    made->kind = ops.kind;
    made->annexB = 0;
    made->pixelFormat = kPixelFormatI420;
    made->planar = 1;
    made->inputWidth = inputWidth;
    made->inputHeight = inputHeight;
    made->outputWidth = outputWidth;
    made->outputHeight = outputHeight;
    made->level = level;
    made->quality = quality;
    made->onOutput = OnEncodedFrame;
    made->close = ops.close;
    made->encode = ops.encode;
    made->init = ops.init;
    int result = made->init(made);
    if (result != EncoderResultOk) {
        made->close(made);
        free(made);
        return result;
    }
    *encoder = made;
    return EncoderResultOk;
}

void CloseFrameEncoder(FrameEncoder *encoder) {
    if (encoder == nullptr) return;
    encoder->close(encoder);
    free(encoder);
}

int SelectFrameEncoder(FrameEncoder **slot, int level, float width, float height, int quality) {
    static std::once_flag registered;
    DebugLog(2, "Using Legacy Encoder!\n");
    std::call_once(registered, [] {
        EncoderOps *ops = RegisterEncoderOps(EncoderKindLegacy);
        if (ops != nullptr) FillX264EncoderOps(ops);
    });
    FrameEncoder *made = nullptr;
    int result =
        CreateFrameEncoder(EncoderKindLegacy, width, height, width, height, level, quality, &made);
    if (result != EncoderResultOk) {
        DebugLog(2, "FrameEncoder: Failed to Find Encoder!\n");
        *slot = nullptr;
        return 0;
    }
    *slot = made;
    return 1;
}

int RebuildFrameEncoder(FrameEncoder **slot, float width, float height, int quality, int level) {
    DebugLog(1, "Quality: %i!\n", quality);
    DebugLog(2,
             "FrameEncoder: Init Or Rebuild Encoder! input size: w: %f h: %f output: w: %f "
             "h:%f\n",
             width, height, width, height);
    if (*slot != nullptr) {
        CloseFrameEncoder(*slot);
        *slot = nullptr;
    }
    return SelectFrameEncoder(slot, level, width, height, quality);
}

uint64_t BuildAvcConfigRecord(const uint8_t *sps, uint64_t spsLength, const uint8_t *pps,
                              uint64_t ppsLength, uint8_t *out) {
    if (spsLength < 4 || ppsLength == 0 || spsLength > 0xFFFF || ppsLength > 0xFFFF) return 0;
    uint8_t *p = out;
    *p++ = 1;      // configuration version
    *p++ = sps[1]; // profile_idc
    *p++ = sps[2]; // constraint flags
    *p++ = sps[3]; // level_idc
    *p++ = 0xFF;   // 4-byte NAL lengths
    *p++ = 0xE1;   // one SPS
    *p++ = static_cast<uint8_t>(spsLength >> 8);
    *p++ = static_cast<uint8_t>(spsLength);
    memcpy(p, sps, spsLength);
    p += spsLength;
    *p++ = 1; // one PPS
    *p++ = static_cast<uint8_t>(ppsLength >> 8);
    *p++ = static_cast<uint8_t>(ppsLength);
    memcpy(p, pps, ppsLength);
    p += ppsLength;
    return static_cast<uint64_t>(p - out);
}
