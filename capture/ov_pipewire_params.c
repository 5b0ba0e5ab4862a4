#include "capture/ov_pipewire_params.h"

#include <spa/buffer/buffer.h>
#include <spa/param/buffers.h>
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

const struct spa_pod *OvPipeWireFormatParam(uint8_t *buffer, size_t size) {
    struct spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, (uint32_t)size);
    struct spa_rectangle defaultSize = SPA_RECTANGLE(1920, 1080);
    struct spa_rectangle minSize = SPA_RECTANGLE(1, 1);
    struct spa_rectangle maxSize = SPA_RECTANGLE(16384, 16384);
    struct spa_fraction defaultRate = SPA_FRACTION(60, 1);
    struct spa_fraction minRate = SPA_FRACTION(0, 1);
    struct spa_fraction maxRate = SPA_FRACTION(1000, 1);
    // No modifier property: that keeps DMA-BUF out of the negotiation.
    return (const struct spa_pod *)spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                               SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
        SPA_FORMAT_VIDEO_framerate,
        SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &minRate, &maxRate));
}

const struct spa_pod *OvPipeWireBuffersParam(uint8_t *buffer, size_t size) {
    struct spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, (uint32_t)size);
    // The capture keeps the newest buffer until a newer one arrives, and the scale stage
    // reads up to two more in place (one per capture slot) before they go back, so the
    // producer needs two beyond those three to go on drawing while it waits for one.
    return (const struct spa_pod *)spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(6, 5, 16), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)));
}

int OvPipeWireParseFormat(const struct spa_pod *param, struct OvPipeWireFormat *out) {
    uint32_t mediaType = 0, mediaSubtype = 0;
    struct spa_video_info_raw raw;
    out->width = out->height = 0;
    out->redFirst = 0;
    out->usable = 0;
    if (!param || spa_format_parse(param, &mediaType, &mediaSubtype) < 0) return 0;
    if (mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw) return 0;
    spa_zero(raw);
    if (spa_format_video_raw_parse(param, &raw) < 0) return 0;
    out->width = raw.size.width;
    out->height = raw.size.height;
    switch (raw.format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
        out->usable = 1;
        break;
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
        out->usable = 1;
        out->redFirst = 1;
        break;
    default:
        break;
    }
    return 1;
}
