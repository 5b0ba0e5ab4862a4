#include "system_audio/sample_rate_converter.h"

#include "base/log.h"

#include <new>
#include <soxr.h>

struct SampleRateConverter {
    soxr_t resampler; // owned; deleted in SampleRateConverterDestroy
    PcmFormat input;
    PcmFormat output;
    int primed; // 1 once the filter has given out its first samples
};

int SampleRateConverterCreate(SampleRateConverter **out, const PcmFormat *input,
                              const PcmFormat *output) {
    *out = nullptr;
    if (!input || input->bitsPerSample != 16 || input->channels == 0 || input->sampleRate == 0) {
        DebugLog(2, "Failed to initialize input format: %i\n", input ? input->bitsPerSample : -1);
        return 0;
    }
    if (!output || output->bitsPerSample != 16 || output->channels != input->channels ||
        output->sampleRate == 0) {
        DebugLog(2, "Failed to initialize output format: %i\n",
                 output ? output->bitsPerSample : -1);
        return 0;
    }
    soxr_error_t error = nullptr;
    soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    // 16-bit precision is all the samples on either side carry. The low-quality recipe with
    // the smallest transform sizes gives out each packet's share at once (441 frames for
    // every 480 at 48 kHz, under 2 ms of delay); the larger recipes hold output back and
    // release it in bursts of several packets, which would add their length to the latency.
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_LQ, 0);
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    runtime.log2_min_dft_size = 8;
    runtime.log2_large_dft_size = 8;
    soxr_t resampler = soxr_create(input->sampleRate, output->sampleRate, input->channels, &error,
                                   &io, &quality, &runtime);
    if (!resampler || error) {
        DebugLog(2, "Failed to create Resampler: %s\n", error ? error : "unknown error");
        soxr_delete(resampler);
        return 0;
    }
    SampleRateConverter *converter =
        new (std::nothrow) SampleRateConverter{resampler, *input, *output, 0};
    if (!converter) {
        soxr_delete(resampler);
        return 0;
    }
    *out = converter;
    return 1;
}

int SampleRateConverterConvert(SampleRateConverter *converter, const void *input, int frameCount,
                               void *output, int capacity) {
    if (!converter || !input || !output || frameCount < 0) return -1;
    const int outFrameBytes = converter->output.bitsPerSample * converter->output.channels / 8;
    const int inFrameBytes = converter->input.bitsPerSample * converter->input.channels / 8;
    const int64_t required = static_cast<int64_t>(outFrameBytes) * frameCount;
    if (capacity < required) {
        DebugLog(2, "Insufficient buffer size for sample conversion (%i wanted %i)\n", capacity,
                 static_cast<int>(required));
        return -1;
    }
    const uint8_t *in = static_cast<const uint8_t *>(input);
    uint8_t *out = static_cast<uint8_t *>(output);
    size_t inLeft = static_cast<size_t>(frameCount);
    size_t outLeft = static_cast<size_t>(capacity / outFrameBytes);
    size_t written = 0;
    // soxr may take less than it is given when the output fills; what it refuses is offered
    // again as long as there is room, so no input is dropped silently.
    while (inLeft > 0 && outLeft > 0) {
        size_t used = 0, produced = 0;
        soxr_error_t error = soxr_process(converter->resampler, in, inLeft, &used,
                                          out + written * outFrameBytes, outLeft, &produced);
        if (error) {
            DebugLog(2, "Failed to ProcessInput for sample conversion: %s\n", error);
            return -1;
        }
        in += used * inFrameBytes;
        inLeft -= used;
        written += produced;
        outLeft -= produced;
        if (used == 0 && produced == 0) break;
    }
    if (inLeft > 0)
        DebugLog(2, "Insufficient buffer size for sample conversion (%i wanted %i)\n", capacity,
                 static_cast<int>(capacity + inLeft * outFrameBytes));
    if (written == 0) {
        // While priming this is worth a line; afterwards a packet shorter than the filter's
        // step simply waits for the next one, which server fragments often are.
        DebugLog(converter->primed ? 0 : 2, "Need more input\n");
        return 0;
    }
    converter->primed = 1;
    return static_cast<int>(written * outFrameBytes);
}

void SampleRateConverterDestroy(SampleRateConverter *converter) {
    if (!converter) return;
    soxr_delete(converter->resampler);
    delete converter;
}
