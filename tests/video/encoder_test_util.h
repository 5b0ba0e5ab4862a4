// Helpers shared by the encoder tests: output collection, stream and header parsing.
#pragma once

#include <cstdint>
#include <gtest/gtest.h>
#include <vector>

#include "test_pictures.h"
#include "video/frame_encoder.h"

struct Collected {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<std::vector<uint8_t>> headers;
    std::vector<std::pair<int32_t, int32_t>> sizes; // picture size handed with each frame
};

// EncodedFrameHandler that appends to the Collected passed as the connection.
void Collect(void *connection, const uint8_t *header, uint64_t headerLength, const uint8_t *data,
             uint64_t length, int32_t width, int32_t height, int64_t captureNanos);

// The screen-like test image as an I420 picture.
I420Picture ScreenPicture(int width, int height);

// NAL unit types of a frame of 4-byte big-endian length-prefixed units; empty when the
// lengths do not add up to the frame exactly.
std::vector<int> NalTypes(const std::vector<uint8_t> &frame);

struct AvcConfig {
    bool valid = false;
    int profile = 0, level = 0;
    std::vector<uint8_t> sps, pps;
};
AvcConfig ParseAvcConfig(const std::vector<uint8_t> &record);

// Encodes count copies of picture (with a small moving block unless moving is false).
void EncodeFrames(FrameEncoder *encoder, I420Picture *picture, int count, Collected *out,
                  bool moving = true);

// Installs Collect as the frame handler and closes the encoder afterwards.
class FrameEncoderTest : public ::testing::Test {
  protected:
    void SetUp() override { SetEncodedFrameHandler(Collect); }
    void TearDown() override {
        SetEncodedFrameHandler(nullptr);
        CloseFrameEncoder(encoder_);
    }
    FrameEncoder *encoder_ = nullptr;
};
