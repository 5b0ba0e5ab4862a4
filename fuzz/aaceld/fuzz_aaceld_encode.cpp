// The encoder on arbitrary float input in calls of arbitrary size: every call returns an
// access unit within the reported bound, 0, or an error; no crash or undefined behaviour.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "aaceld/aaceld.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 + sizeof(float)) return 0;
    const int32_t rates[4] = {32000, 128000, 512000, 1000000};
    const int channels = 1 + (data[0] & 1);
    EncoderConfig config = {
        39, rates[(data[0] >> 1) & 3] / (3 - channels), 3, channels, 44100, 44100, 5, 480, {}};
    AacEldEncoder *enc = nullptr;
    EncoderSlot slot;
    EncoderInfo info;
    if (EncoderOpen(&config, &enc) != kEncoderOk) abort();
    if (EncoderInit(enc, &slot) != kEncoderOk || EncoderGetInfo(enc, &info) != kEncoderOk) abort();
    const size_t chunk = 16 + 32 * (size_t)data[1]; // floats per call
    std::vector<float> samples((size - 2) / sizeof(float));
    memcpy(samples.data(), data + 2, samples.size() * sizeof(float));
    // Repeat short inputs so the filterbank history fills with them.
    std::vector<float> input;
    while (!samples.empty() && input.size() < 8 * 960)
        input.insert(input.end(), samples.begin(), samples.end());
    uint8_t out[8000];
    for (size_t pos = 0; pos < input.size(); pos += chunk) {
        size_t n = input.size() - pos < chunk ? input.size() - pos : chunk;
        n -= n % (size_t)channels;
        int r = EncoderEncode(enc, input.data() + pos, (int32_t)n, &slot, out, sizeof(out));
        if (r > info.maxOutputBytes) abort();
    }
    EncoderClose(enc);
    return 0;
}
