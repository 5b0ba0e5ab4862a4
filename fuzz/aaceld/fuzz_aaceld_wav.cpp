// WAV reader on arbitrary bytes: must parse or refuse, never read out of bounds.
#include <cstdint>
#include <cstdlib>

#include "aaceld/tool/wav_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    WavData wav;
    char error[128];
    if (WavParse(data, size, &wav, error, sizeof(error))) {
        if (wav.channels < 1 || wav.samples.size() % (size_t)wav.channels != 0) abort();
        if (wav.samples.size() * 2 > size) abort();
    }
    return 0;
}
