#include "aaceld/tool/wav_reader.h"

#include <cstdio>
#include <cstring>

static uint32_t Le32(const uint8_t *p) {
    return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}
static uint16_t Le16(const uint8_t *p) {
    return (uint16_t)(p[0] | p[1] << 8);
}

int WavParse(const uint8_t *data, size_t size, WavData *wav, char *error, int errorSize) {
    if (size < 12 || memcmp(data, "RIFF", 4) != 0 || memcmp(data + 8, "WAVE", 4) != 0) {
        snprintf(error, (size_t)errorSize, "not a RIFF/WAVE file");
        return 0;
    }
    int haveFormat = 0;
    size_t pos = 12;
    while (pos + 8 <= size) {
        const uint8_t *chunk = data + pos;
        uint32_t length = Le32(chunk + 4);
        size_t bodyStart = pos + 8;
        size_t available = size - bodyStart;
        if (memcmp(chunk, "fmt ", 4) == 0) {
            if (length < 16 || length > available) {
                snprintf(error, (size_t)errorSize, "format chunk is truncated");
                return 0;
            }
            const uint8_t *f = data + bodyStart;
            uint16_t format = Le16(f);
            wav->channels = Le16(f + 2);
            wav->sampleRate = (int)Le32(f + 4);
            uint16_t bitsPerSample = Le16(f + 14);
            if (format == 0xFFFE && length >= 26) format = Le16(f + 24); // extensible: sub-format
            if (format != 1 || bitsPerSample != 16 || wav->channels < 1 || wav->channels > 8) {
                snprintf(error, (size_t)errorSize,
                         "only 16-bit PCM is supported (format %u, %u bits)", format,
                         bitsPerSample);
                return 0;
            }
            haveFormat = 1;
        } else if (memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) {
                snprintf(error, (size_t)errorSize, "data chunk before the format chunk");
                return 0;
            }
            // A streamed file may carry a length larger than what follows; take what is there.
            size_t bytes = length < available ? length : available;
            size_t count = bytes / 2 / wav->channels * wav->channels;
            wav->samples.resize(count);
            for (size_t i = 0; i < count; i++)
                wav->samples[i] = (int16_t)Le16(data + bodyStart + 2 * i);
            return 1;
        }
        if (length > available) break;
        pos = bodyStart + length + (length & 1);
    }
    snprintf(error, (size_t)errorSize, haveFormat ? "no data chunk" : "no format chunk");
    return 0;
}

int WavRead(const char *path, WavData *wav, char *error, int errorSize) {
    FILE *f = fopen(path, "rb");
    if (!f) {
        snprintf(error, (size_t)errorSize, "cannot open %s", path);
        return 0;
    }
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    int readError = ferror(f);
    fclose(f);
    if (readError) {
        snprintf(error, (size_t)errorSize, "cannot read %s", path);
        return 0;
    }
    return WavParse(bytes.data(), bytes.size(), wav, error, errorSize);
}
