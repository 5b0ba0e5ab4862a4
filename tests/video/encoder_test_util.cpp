#include "encoder_test_util.h"

#include <cstring>

#include "video/scale_convert.h"

void Collect(void *connection, const uint8_t *header, uint64_t headerLength, const uint8_t *data,
             uint64_t length, int32_t width, int32_t height, int64_t) {
    auto *collected = static_cast<Collected *>(connection);
    collected->sizes.emplace_back(width, height);
    collected->headers.emplace_back(header, header + headerLength);
    collected->frames.emplace_back(data, data + length);
}

I420Picture ScreenPicture(int width, int height) {
    std::vector<uint8_t> bgrx = ScreenLikeBgrx(width, height);
    I420Picture picture;
    I420Allocate(&picture, width, height, 0);
    ScaleBand band{};
    band.source = bgrx.data();
    band.sourceWidth = width;
    band.sourceHeight = height;
    band.sourceStride = width * 4;
    band.pictureWidth = width;
    band.pictureHeight = height;
    for (int i = 0; i < 3; i++)
        band.planes[i] = picture.planes[i];
    band.rowCount = height;
    ScaleBandScalar(&band);
    return picture;
}

std::vector<int> NalTypes(const std::vector<uint8_t> &frame) {
    std::vector<int> types;
    size_t at = 0;
    while (at + 4 <= frame.size()) {
        uint32_t length = (uint32_t{frame[at]} << 24) | (frame[at + 1] << 16) |
                          (frame[at + 2] << 8) | frame[at + 3];
        if (length == 0 || at + 4 + length > frame.size()) return {};
        types.push_back(frame[at + 4] & 0x1F);
        at += 4 + length;
    }
    if (at != frame.size()) return {};
    return types;
}

AvcConfig ParseAvcConfig(const std::vector<uint8_t> &record) {
    AvcConfig config;
    if (record.size() < 11 || record[0] != 1 || record[4] != 0xFF || record[5] != 0xE1) {
        return config;
    }
    size_t n = (record[6] << 8) | record[7];
    if (8 + n + 3 > record.size()) return config;
    config.sps.assign(record.begin() + 8, record.begin() + 8 + n);
    if (record[8 + n] != 1) return config;
    size_t m = (record[9 + n] << 8) | record[10 + n];
    if (11 + n + m != record.size()) return config;
    config.pps.assign(record.begin() + 11 + n, record.end());
    config.profile = record[1];
    config.level = record[3];
    config.valid = (config.sps[0] & 0x1F) == 7 && (config.pps[0] & 0x1F) == 8 &&
                   config.sps[1] == record[1] && config.sps[2] == record[2] &&
                   config.sps[3] == record[3];
    return config;
}

// Decodes a stream with libavcodec, counting decoder errors.

// Encodes count copies of picture (with a small moving block) through encoder.
void EncodeFrames(FrameEncoder *encoder, I420Picture *picture, int count, Collected *out,
                  bool moving) {
    for (int i = 0; i < count; i++) {
        if (moving) {
            int x0 = 16 + (i * 8) % (picture->width / 2);
            for (int y = 16; y < 48; y++)
                memset(&picture->y[y * picture->width + x0], 200, 32);
        }
        ASSERT_EQ(encoder->encode(encoder, picture->planes, 0, out), EncoderResultOk);
        encoder->framesEncoded++;
    }
}
