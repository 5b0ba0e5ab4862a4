// FrameEncoder over the x264 library.
#include "video/x264_adapter.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <x264.h>
}

#include "base/clock.h"
#include "base/log.h"
#include "video/frame_encoder.h"

namespace {

// What a run's pictures came out as, kept when OSTREL_ENCODER_STATS=1 (x264 then also
// measures each reconstructed picture against its input, which costs some CPU): logged
// when the encoder closes, so that settings can be compared on quality at a known rate.
struct X264Stats {
    int32_t enabled;
    int32_t pictures;
    uint64_t bytes;
    double firstSeconds; // monotonic time of the first and the last picture out
    double lastSeconds;
    double psnrY; // sums of the per-picture figures
    double psnrAverage;
    double ssim;
};

struct X264State {
    x264_t *handle;
    X264Stats stats;
};

void AddPictureStats(X264Stats *stats, const x264_picture_t *out, int size) {
    double now = MonotonicSeconds();
    if (stats->pictures == 0) stats->firstSeconds = now;
    stats->lastSeconds = now;
    stats->pictures++;
    stats->bytes += static_cast<uint64_t>(size);
    stats->psnrY += out->prop.f_psnr[0];
    stats->psnrAverage += out->prop.f_psnr_avg;
    stats->ssim += out->prop.f_ssim;
}

void LogStats(const X264Stats *stats, int width, int height) {
    if (!stats->enabled || stats->pictures < 2) return;
    double seconds = stats->lastSeconds - stats->firstSeconds;
    double n = stats->pictures;
    double kbps = seconds > 0 ? stats->bytes * 8.0 / 1000.0 * ((n - 1) / n) / seconds : 0;
    DebugLog(2,
             "x264: %ix%i, %i pictures in %.1f s (%.1f/s), %.0f kbit/s, %.0f bytes a picture, "
             "PSNR Y %.3f avg %.3f dB, SSIM %.5f\n",
             width, height, stats->pictures, seconds, seconds > 0 ? (n - 1) / seconds : 0, kbps,
             stats->bytes / n, stats->psnrY / n, stats->psnrAverage / n, stats->ssim / n);
}

// Parameter sets longer than this are not kept (the avcC lengths are 16 bits).
constexpr int kMaxParameterSet = 65536;

int InitX264(FrameEncoder *encoder) {
    x264_param_t param;
    int width = static_cast<int>(encoder->outputWidth);
    int height = static_cast<int>(encoder->outputHeight);
    // I420 halves both dimensions; the library would refuse odd ones itself, but leaks on
    // that path.
    if (width <= 0 || height <= 0 || (width & 1) || (height & 1)) {
        DebugLog(2, "x264: picture size %ix%i is not a positive even size\n", width, height);
        return EncoderResultSetupFailed;
    }
    if (!X264FillParameters(&param, width, height, encoder->level, encoder->quality)) {
        DebugLog(2, "x264: parameters rejected for %ix%i\n", width, height);
        return EncoderResultSetupFailed;
    }
    const char *statsWanted = getenv("OSTREL_ENCODER_STATS");
    bool stats = statsWanted != nullptr && strcmp(statsWanted, "1") == 0;
    if (stats) {
        // x264 measures only when it may log its summary too.
        param.analyse.b_psnr = 1;
        param.analyse.b_ssim = 1;
        param.i_log_level = X264_LOG_INFO;
    }
    auto *state = static_cast<X264State *>(calloc(1, sizeof(X264State)));
    if (state == nullptr) return EncoderResultSetupFailed;
    state->stats.enabled = stats ? 1 : 0;
    x264_t *handle = x264_encoder_open(&param);
    if (handle == nullptr) {
        DebugLog(2, "x264: could not open an encoder for %ix%i\n", width, height);
        free(state);
        return EncoderResultSetupFailed;
    }
    state->handle = handle;
    encoder->handle = state;

    x264_nal_t *nals = nullptr;
    int count = 0;
    if (x264_encoder_headers(handle, &nals, &count) < 0) count = 0;
    // A later unit of the same type replaces an earlier one.
    const x264_nal_t *sps = nullptr;
    const x264_nal_t *pps = nullptr;
    for (int i = 0; i < count; i++) {
        if (nals[i].i_payload <= 4 || nals[i].i_payload > kMaxParameterSet) continue;
        if (nals[i].i_type == NAL_SPS) sps = &nals[i];
        if (nals[i].i_type == NAL_PPS) pps = &nals[i];
    }
    encoder->codecHeader = nullptr;
    encoder->codecHeaderLength = 0;
    if (sps != nullptr && pps != nullptr) {
        // Payloads start with their 4-byte length; the record wants the bare units.
        uint64_t spsLength = static_cast<uint64_t>(sps->i_payload - 4);
        uint64_t ppsLength = static_cast<uint64_t>(pps->i_payload - 4);
        auto *header = static_cast<uint8_t *>(malloc(11 + spsLength + ppsLength));
        if (header != nullptr) {
            uint64_t length = BuildAvcConfigRecord(sps->p_payload + 4, spsLength,
                                                   pps->p_payload + 4, ppsLength, header);
            if (length > 0) {
                encoder->codecHeader = header;
                encoder->codecHeaderLength = length;
            } else {
                free(header);
            }
        }
    }
    if (encoder->codecHeader == nullptr) {
        DebugLog(2, "x264: no parameter sets in the header output; codec header is empty\n");
    }
    return EncoderResultOk;
}

// The lower of the user's ceiling and the link's, as VBV maximum rate and buffer, changed
// in place when it moved (the encoder was opened with VBV on, so it can be).
void ApplyLinkCeiling(FrameEncoder *encoder, x264_t *handle) {
    int32_t wanted = X264MaxKbpsForQuality(encoder->quality);
    if (encoder->linkMaxKbps > 0 && encoder->linkMaxKbps < wanted) wanted = encoder->linkMaxKbps;
    x264_param_t param;
    x264_encoder_parameters(handle, &param);
    if (param.rc.i_vbv_max_bitrate == wanted) return;
    param.rc.i_vbv_max_bitrate = wanted;
    param.rc.i_vbv_buffer_size = X264VbvBufferKbits(wanted);
    if (x264_encoder_reconfig(handle, &param) < 0)
        DebugLog(2, "x264: could not change the bitrate ceiling to %i kbit/s\n", wanted);
}

int EncodeX264(FrameEncoder *encoder, uint8_t *const *picture, int, void *connection) {
    auto *state = static_cast<X264State *>(encoder->handle);
    if (state == nullptr) return EncoderResultEncodeFailed;
    x264_t *handle = state->handle;
    int width = static_cast<int>(encoder->outputWidth);
    x264_picture_t in;
    x264_picture_init(&in);
    in.img.i_csp = X264_CSP_I420;
    in.img.i_plane = 3;
    in.img.plane[0] = picture[0];
    in.img.plane[1] = picture[1];
    in.img.plane[2] = picture[2];
    in.img.i_stride[0] = width;
    in.img.i_stride[1] = width / 2;
    in.img.i_stride[2] = width / 2;
    in.i_pts = encoder->framesEncoded;
    ApplyLinkCeiling(encoder, handle);
    if (encoder->keyFrameWanted) {
        // A picture was lost: this one must not depend on anything before it.
        in.i_type = X264_TYPE_IDR;
        encoder->keyFrameWanted = 0;
    }

    x264_picture_t out;
    x264_nal_t *nals = nullptr;
    int count = 0;
    int size = x264_encoder_encode(handle, &nals, &count, &in, &out);
    if (size < 0) {
        DebugLog(2, "x264: encoding picture %i failed (%i)\n", encoder->framesEncoded, size);
        return EncoderResultEncodeFailed;
    }
    if (size == 0 || count == 0) return EncoderResultOk;
    if (state->stats.enabled) AddPictureStats(&state->stats, &out, size);
    // The units of one picture lie back to back, each with its 4-byte length.
    encoder->lastConnection = connection;
    encoder->onOutput(encoder, encoder->codecHeader, encoder->codecHeaderLength, nals[0].p_payload,
                      static_cast<uint64_t>(size), connection);
    return EncoderResultOk;
}

int CloseX264(FrameEncoder *encoder) {
    auto *state = static_cast<X264State *>(encoder->handle);
    if (state != nullptr) {
        LogStats(&state->stats, static_cast<int>(encoder->outputWidth),
                 static_cast<int>(encoder->outputHeight));
        x264_encoder_close(state->handle);
        free(state);
        encoder->handle = nullptr;
    }
    free(encoder->codecHeader);
    encoder->codecHeader = nullptr;
    encoder->codecHeaderLength = 0;
    return EncoderResultOk;
}

} // namespace

float X264RateFactorForLevel(int level) {
    switch (level) {
    case 0:
        return 36.0f;
    case 2:
        return 23.0f;
    case 3:
        return 15.0f;
    default:
        return 28.0f;
    }
}

int32_t X264MaxKbpsForQuality(int quality) {
    switch (quality) {
    case 2:
        return 2000;
    case 3:
        return 5000;
    case 5:
        return 25000;
    default:
        return 12000;
    }
}

float X264RateFactorForQuality(int quality, int level) {
    switch (quality) {
    case 2:
        return 32.0f;
    case 5:
        return 23.0f;
    default:
        return X264RateFactorForLevel(level);
    }
}

int32_t X264VbvBufferKbits(int32_t maxKbps) {
    int32_t kbits = maxKbps / 4;
    return kbits > 0 ? kbits : 1;
}

int X264FillParameters(void *where, int width, int height, int level, int quality) {
    auto *param = static_cast<x264_param_t *>(where);
    x264_param_default(param);
    if (x264_param_default_preset(param, "veryfast", "zerolatency") < 0) return 0;
    // One thread, one slice. The preset's sliced threads (one slice per processor) cost
    // more CPU than they save in time: every picture wakes each slice thread and waits for
    // all of them, and the slice borders cost bits; a 1280x720 screen picture takes a few
    // milliseconds on one thread, well inside a frame interval.
    param->i_threads = 1;
    param->b_sliced_threads = 0;
    // Screen pictures are flat areas and sharp edges: the 8x8 transform smears edges
    // that the 4x4 one codes exactly, so without it they come out smaller and no worse,
    // at less CPU; and the diamond search finds what the hexagon does for moving windows
    // and text, for less. The sub-pixel refinement by SAD instead of SATD takes a fifth
    // off the encoder; together with the single slice the pictures are still better at
    // the same bitrate than with the preset's sliced threads.
    param->analyse.b_transform_8x8 = 0;
    param->analyse.i_me_method = X264_ME_DIA;
    param->analyse.i_subpel_refine = 1;
    // Inter blocks stay whole: 8x8 partitions are rarely chosen on screen pictures and their
    // search takes about a tenth of the encoder on natural ones; 4x4 intra blocks in P
    // pictures stay, without them new text and window edges cost far more bits. Screens do
    // not fade, so weighted prediction only costs its per-picture analysis. The psychovisual
    // options trade fidelity for perceived detail on film; without them screen and natural
    // pictures both come out a little closer to their input at the same bitrate.
    param->analyse.inter = X264_ANALYSE_I4x4;
    param->analyse.i_weighted_pred = X264_WEIGHTP_NONE;
    param->analyse.b_psy = 0;
    // The default inter deadzone (21) drops small residual coefficients to save bits, a
    // trade tuned for the psychovisual options; a narrower one gives both screen and
    // natural pictures more quality at the same bitrate, for a few percent more bits at the
    // same rate factor and no measurable CPU.
    param->analyse.i_luma_deadzone[0] = 15;
    param->i_width = width;
    param->i_height = height;
    param->i_log_level = X264_LOG_ERROR;
    param->i_frame_total = 0;
    // The bitrate ceiling is shared out per picture at this nominal rate (the default MaxFPS;
    // time stamps from the real clock would cost a picture of delay). Fewer pictures a second,
    // as when some are held back for a slow link, stay below the ceiling.
    param->i_fps_num = 30;
    param->i_fps_den = 1;
    // Pictures come only when the screen changes, yet rate control counts pictures, not
    // time: with variable-rate input x264 holds every picture back until the next one
    // arrives (it needs that one's time to know how long this one lasts), so a change
    // after a still period would wait for the next still picture. With constant-rate input
    // constant-quality coding prices each picture by its content alone, so the gaps do not
    // disturb it; a rate limit (VBV) counting its refill per picture is only more careful
    // after a gap.
    param->b_vfr_input = 0;
    param->rc.i_rc_method = X264_RC_CRF;
    param->rc.f_rf_constant = X264RateFactorForQuality(quality, level);
    // Opened with the user's ceiling: VBV can only be changed at run time when it is on.
    param->rc.i_vbv_max_bitrate = X264MaxKbpsForQuality(quality);
    param->rc.i_vbv_buffer_size = X264VbvBufferKbits(param->rc.i_vbv_max_bitrate);
    // Periodic intra refresh keeps the bit rate even; there are no repeated IDR frames.
    param->b_intra_refresh = 1;
    param->b_annexb = 0;
    if (x264_param_apply_profile(param, "high") < 0) return 0;
    return 1;
}

void FillX264EncoderOps(EncoderOps *ops) {
    ops->init = InitX264;
    ops->encode = EncodeX264;
    ops->close = CloseX264;
}
