// Input: 5 bytes of geometry (source and picture sizes, row order), then pixel bytes that
// are repeated to fill the source. Every path must stay inside its buffers, and the SSSE3
// band must give the reference's bytes exactly.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "video/scale_convert.h"

namespace {

struct Picture {
    std::vector<uint8_t> y, u, v;
    uint8_t *planes[3];
    Picture(int width, int height)
        : y(static_cast<size_t>(width) * height, 0x5A),
          u(static_cast<size_t>(width / 2) * (height / 2), 0x5A),
          v(static_cast<size_t>(width / 2) * (height / 2), 0x5A) {
        planes[0] = y.data();
        planes[1] = u.data();
        planes[2] = v.data();
    }
    bool operator==(const Picture &other) const {
        return y == other.y && u == other.u && v == other.v;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 6) return 0;
    int sourceWidth = 1 + data[0] % 96;
    int sourceHeight = 1 + data[1] % 96;
    int pictureWidth = 1 + data[2] % 96;
    int pictureHeight = 1 + data[3] % 96;
    int bottomUp = data[4] & 1;
    const uint8_t *pixels = data + 5;
    size_t pixelBytes = size - 5;
    // Exactly sized, so that any overrun is caught.
    std::vector<uint8_t> source(static_cast<size_t>(sourceWidth) * sourceHeight * 4);
    for (size_t i = 0; i < source.size(); i++)
        source[i] = pixels[i % pixelBytes];

    ScaleBand band{};
    band.source = source.data();
    band.sourceWidth = sourceWidth;
    band.sourceHeight = sourceHeight;
    band.sourceStride = sourceWidth * 4;
    band.pictureWidth = pictureWidth;
    band.pictureHeight = pictureHeight;
    band.rowCount = pictureHeight;
    band.bottomUp = bottomUp;

    Picture reference(pictureWidth, pictureHeight);
    for (int i = 0; i < 3; i++)
        band.planes[i] = reference.planes[i];
    ScaleBandScalar(&band);

    if (ProbeCpuFeatures()) {
        Picture fast(pictureWidth, pictureHeight);
        for (int i = 0; i < 3; i++)
            band.planes[i] = fast.planes[i];
        ScaleBandSsse3(&band);
        if (!(fast == reference)) abort();
        Picture twoBands(pictureWidth, pictureHeight);
        ScaleConvertSsse3(source.data(), sourceWidth, sourceHeight, twoBands.planes, pictureWidth,
                          pictureHeight, bottomUp);
        if (!(twoBands == reference)) abort();
    }

    std::vector<uint8_t> scratch(static_cast<size_t>(pictureWidth) * pictureHeight * 4);
    StretchBgrxBilinear(source.data(), sourceWidth, sourceHeight, bottomUp, scratch.data(),
                        pictureWidth, pictureHeight);
    Picture portable(pictureWidth, pictureHeight);
    ConvertBgrxToI420(scratch.data(), pictureWidth, pictureHeight, portable.planes);
    return 0;
}
