// The stream parameters the portal capture asks PipeWire for, and the reading of the
// format it settles on. Written in C: the parameter builders are C macros.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct spa_pod;

// The formats a capture accepts: raw video in BGRx, BGRA, RGBx or RGBA, any size, any
// rate. Writes one parameter into buffer and returns it, or null when it does not fit.
const struct spa_pod *OvPipeWireFormatParam(uint8_t *buffer, size_t size);
// The buffers a capture accepts once a format is fixed: shared memory only (a file
// descriptor to map, or memory mapped already), which needs no graphics context.
const struct spa_pod *OvPipeWireBuffersParam(uint8_t *buffer, size_t size);

struct OvPipeWireFormat {
    uint32_t width;
    uint32_t height;
    int32_t redFirst; // 1 for RGBx/RGBA, 0 for BGRx/BGRA
    int32_t usable;   // 0 for any other format
};
// Reads a fixed format. Returns 0 when param is not raw video.
int OvPipeWireParseFormat(const struct spa_pod *param, struct OvPipeWireFormat *out);

#ifdef __cplusplus
}
#endif
