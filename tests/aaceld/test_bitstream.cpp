// The access-unit writer against an independent reader written from the frame layout:
// random frames with every codebook, escapes up to the largest value, long sections and
// mid/side masks must read back exactly, and the bit counts must match what is written.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "aaceld/eld_bitstream.h"

namespace {

struct BitReader {
    const uint8_t *data;
    size_t size;
    size_t pos = 0;
    bool overrun = false;
    uint32_t Get(int bits) {
        uint32_t v = 0;
        for (int i = 0; i < bits; i++) {
            if (pos >= size * 8) {
                overrun = true;
                return 0;
            }
            v = v << 1 | ((data[pos >> 3] >> (7 - (pos & 7))) & 1);
            pos++;
        }
        return v;
    }
};

// Reads one codeword by growing it bit by bit until it matches an entry.
int ReadCode(BitReader *r, const uint32_t *codes, const uint8_t *bits, int count) {
    uint32_t word = 0;
    for (int len = 1; len <= 19; len++) {
        word = word << 1 | r->Get(1);
        for (int i = 0; i < count; i++) {
            if (bits[i] == len && codes[i] == word) return i;
        }
    }
    return -1;
}

struct ParsedFrame {
    int maxSfb = 0, msMode = 0;
    std::vector<int> msUsed;
    int sf[2][kEldBandCount] = {};
    EldTnsFilter tns[2] = {};
    int book[2][kEldBandCount] = {};
    int q[2][kEldFrameLength] = {};
    bool ok = true;
};

ParsedFrame Parse(const uint8_t *data, size_t size, int channels) {
    ParsedFrame f;
    BitReader r{data, size};
    int monoGain = channels == 1 ? (int)r.Get(8) : 0;
    f.maxSfb = (int)r.Get(6);
    if (channels == 2) {
        f.msMode = (int)r.Get(2);
        if (f.msMode == 1) {
            for (int b = 0; b < f.maxSfb; b++)
                f.msUsed.push_back((int)r.Get(1));
        }
    }
    for (int c = 0; c < channels; c++) {
        int gain = channels == 1 ? monoGain : (int)r.Get(8);
        for (int b = 0; b < f.maxSfb;) {
            int cb = (int)r.Get(4), len = 0, piece;
            do {
                piece = (int)r.Get(5);
                len += piece;
            } while (piece == 31);
            if (len == 0 || b + len > f.maxSfb) return f.ok = false, f;
            for (int k = 0; k < len; k++)
                f.book[c][b + k] = cb;
            b += len;
        }
        int prev = gain;
        for (int b = 0; b < f.maxSfb; b++) {
            if (f.book[c][b] == 0) continue;
            int idx = ReadCode(&r, kScalefactorCodes, kScalefactorBits, 121);
            if (idx < 0) return f.ok = false, f;
            prev += idx - 60;
            f.sf[c][b] = prev;
        }
        if (r.Get(1)) {
            if (r.Get(2) != 1 || r.Get(1) != 1)
                return f.ok = false, f; // one filter, 4-bit coefficients
            f.tns[c].length = (int)r.Get(6);
            f.tns[c].order = (int)r.Get(5);
            if (f.tns[c].order == 0 || r.Get(1) != 0 || r.Get(1) != 0) return f.ok = false, f;
            for (int i = 0; i < f.tns[c].order; i++) {
                int v = (int)r.Get(4);
                f.tns[c].index[i] = v >= 8 ? v - 16 : v;
            }
        }
        for (int b = 0; b < f.maxSfb; b++) {
            const int cb = f.book[c][b];
            if (cb == 0) continue;
            const EldHuffmanBook &bk = kSpectrumBooks[cb];
            for (int i = kSwbOffset480[b]; i < kSwbOffset480[b + 1]; i += bk.dimension) {
                int idx = ReadCode(&r, bk.codes, bk.bits, bk.size);
                if (idx < 0) return f.ok = false, f;
                int v[4], base = bk.isSigned ? 2 * bk.lav + 1 : bk.lav + 1;
                for (int d = bk.dimension - 1; d >= 0; d--) {
                    v[d] = idx % base - (bk.isSigned ? bk.lav : 0);
                    idx /= base;
                }
                if (!bk.isSigned) {
                    for (int d = 0; d < bk.dimension; d++) {
                        if (v[d] != 0 && r.Get(1)) v[d] = -v[d];
                    }
                    if (cb == 11) {
                        for (int d = 0; d < bk.dimension; d++) {
                            if (abs(v[d]) != 16) continue;
                            int n = 4;
                            while (r.Get(1))
                                n++;
                            if (n > 12) return f.ok = false, f;
                            int mag = (1 << n) + (int)r.Get(n);
                            v[d] = v[d] < 0 ? -mag : mag;
                        }
                    }
                }
                for (int d = 0; d < bk.dimension; d++)
                    f.q[c][i + d] = v[d];
            }
        }
    }
    while (r.pos % 8) {
        if (r.Get(1)) return f.ok = false, f;
    }
    if (r.pos != size * 8 || r.overrun) f.ok = false;
    return f;
}

// A random channel: bands of varied loudness (zeros, small values, escapes), scalefactors
// walking within the codable range.
void RandomChannel(std::mt19937 &rng, EldChannelData *d, int maxSfb) {
    std::uniform_int_distribution<int> kind(0, 6);
    int sf = 100 + (int)(rng() % 60);
    for (int b = 0; b < kEldBandCount; b++) {
        const int k = kind(rng);
        const int limits[7] = {0, 1, 2, 4, 12, 200, kEldMaxQuant};
        const int lim = b < maxSfb ? limits[k] : 0;
        std::uniform_int_distribution<int> val(-lim, lim);
        for (int i = kSwbOffset480[b]; i < kSwbOffset480[b + 1]; i++)
            d->q[i] = val(rng);
        if (lim == kEldMaxQuant) d->q[kSwbOffset480[b]] = -kEldMaxQuant; // the extreme escape
        sf += (int)(rng() % 121) - 60;
        sf = std::max(0, std::min(255, sf));
        d->scalefactor[b] = sf;
    }
}

} // namespace

TEST(AacEldBitstream, SilentFrameIsTheKnownFourBytes) {
    EldFrameData frame{};
    frame.channels = 2;
    uint8_t out[16];
    ASSERT_EQ(EldWriteFrame(&frame, out, sizeof(out)), 4);
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[1], 0x64);
    EXPECT_EQ(out[2], 0x32);
    EXPECT_EQ(out[3], 0x00);
    frame.channels = 1; // gain 100, no bands, no noise shaping: 15 bits
    ASSERT_EQ(EldWriteFrame(&frame, out, sizeof(out)), 2);
    EXPECT_EQ(out[0], 0x64);
    EXPECT_EQ(out[1], 0x00);
}

TEST(AacEldBitstream, RandomFramesReadBackExactly) {
    std::mt19937 rng(1234);
    for (int iter = 0; iter < 60; iter++) {
        EldFrameData frame{};
        frame.channels = 1 + iter % 2;
        frame.maxSfb = iter == 0 ? kEldBandCount : (int)(rng() % (kEldBandCount + 1));
        frame.msMode = frame.channels == 2 ? (int)(rng() % 3) : 0;
        for (int b = 0; b < kEldBandCount; b++)
            frame.msUsed[b] = rng() & 1;
        for (int c = 0; c < frame.channels; c++) {
            EldChannelData *d = &frame.ch[c];
            RandomChannel(rng, d, frame.maxSfb);
            d->tns.order = (int)(rng() % (kEldTnsMaxOrder + 1));
            d->tns.length = (int)(rng() % 36);
            for (int i = 0; i < d->tns.order; i++)
                d->tns.index[i] = (int)(rng() % 16) - 8;
            EldChooseBooks(d, frame.maxSfb, iter % 3 == 0);
            // Scalefactors of coded bands must stay within +-60 of the previous coded band.
            int prev = -1;
            for (int b = 0; b < frame.maxSfb; b++) {
                if (d->book[b] == 0) continue;
                if (prev >= 0)
                    d->scalefactor[b] = std::max(prev - 60, std::min(prev + 60, d->scalefactor[b]));
                prev = d->scalefactor[b];
            }
        }
        std::vector<uint8_t> out(8000);
        const int bits = EldFrameBits(&frame);
        const int bytes = EldWriteFrame(&frame, out.data(), (int)out.size());
        ASSERT_GT(bytes, 0) << iter;
        EXPECT_EQ(bytes, (bits + 7) / 8)
            << "counted bits disagree with written bits, frame " << iter;
        ParsedFrame p = Parse(out.data(), (size_t)bytes, frame.channels);
        ASSERT_TRUE(p.ok) << iter;
        ASSERT_EQ(p.maxSfb, frame.maxSfb);
        if (frame.channels == 2) {
            EXPECT_EQ(p.msMode, frame.msMode);
            for (int b = 0; b < (int)p.msUsed.size(); b++)
                EXPECT_EQ(p.msUsed[b], frame.msUsed[b]);
        }
        for (int c = 0; c < frame.channels; c++) {
            for (int b = 0; b < frame.maxSfb; b++) {
                ASSERT_EQ(p.book[c][b], frame.ch[c].book[b]) << iter << " band " << b;
                if (frame.ch[c].book[b] != 0) {
                    ASSERT_EQ(p.sf[c][b], frame.ch[c].scalefactor[b]);
                }
            }
            for (int i = 0; i < kSwbOffset480[frame.maxSfb]; i++)
                ASSERT_EQ(p.q[c][i], frame.ch[c].q[i]) << i;
            const EldTnsFilter &want = frame.ch[c].tns;
            ASSERT_EQ(p.tns[c].order, want.order);
            if (want.order > 0) {
                EXPECT_EQ(p.tns[c].length, want.length);
            }
            for (int i = 0; i < want.order; i++)
                EXPECT_EQ(p.tns[c].index[i], want.index[i]);
        }
    }
}

TEST(AacEldBitstream, ChosenBooksAreNeverWorseThanTheSmallestBookPerBand) {
    std::mt19937 rng(99);
    for (int iter = 0; iter < 30; iter++) {
        EldChannelData d{};
        RandomChannel(rng, &d, kEldBandCount);
        int chosen = EldChooseBooks(&d, kEldBandCount, iter % 2);
        // One section per band with the smallest book that fits is always possible.
        int naive = 0;
        for (int b = 0; b < kEldBandCount; b++) {
            int start = kSwbOffset480[b], width = kSwbOffset480[b + 1] - start, maxAbs = 0;
            for (int i = start; i < start + width; i++)
                maxAbs = std::max(maxAbs, abs(d.q[i]));
            int cb = SpectrumSmallestBook(maxAbs);
            naive += 9 + (cb ? SpectrumBits(d.q + start, width, cb) : 0);
        }
        EXPECT_LE(chosen, naive);
        int counted = EldSectionBits(d.book, kEldBandCount);
        for (int b = 0; b < kEldBandCount; b++) {
            if (d.book[b])
                counted += SpectrumBits(d.q + kSwbOffset480[b],
                                        kSwbOffset480[b + 1] - kSwbOffset480[b], d.book[b]);
        }
        EXPECT_EQ(chosen, counted) << "returned cost must be the cost of the books it chose";
    }
}

TEST(AacEldBitstream, ValuesBeyondABookAreRefused) {
    int q[4] = {2, 0, 0, 0};
    EXPECT_EQ(SpectrumBits(q, 4, 1), kEldBitsInfinite);
    EXPECT_LT(SpectrumBits(q, 4, 3), kEldBitsInfinite);
    int big[2] = {kEldMaxQuant + 1, 0};
    EXPECT_EQ(SpectrumBits(big, 2, 11), kEldBitsInfinite);
    int sixteen[2] = {16, -17};
    // Escape of 16: codeword, two sign bits, then "0" + 4 bits for each value.
    EXPECT_EQ(SpectrumBits(sixteen, 2, 11), kSpectrumBooks[11].bits[16 * 17 + 16] + 2 + 5 + 5);
}

TEST(AacEldBitstream, WriterRefusesOverflowAndUncodableScalefactors) {
    EldFrameData frame{};
    frame.channels = 2;
    frame.maxSfb = 1;
    frame.ch[0].q[0] = 1;
    frame.ch[0].book[0] = 1;
    frame.ch[0].scalefactor[0] = 100;
    uint8_t out[64];
    EXPECT_LT(EldWriteFrame(&frame, out, 2), 0) << "too small a buffer must fail, not truncate";
    EXPECT_GT(EldWriteFrame(&frame, out, sizeof(out)), 0);
    frame.maxSfb = 2;
    frame.ch[0].q[4] = 1;
    frame.ch[0].book[1] = 1;
    frame.ch[0].scalefactor[1] = 161; // a jump of 61
    EXPECT_LT(EldWriteFrame(&frame, out, sizeof(out)), 0);
    frame.ch[0].scalefactor[1] = 160;
    EXPECT_GT(EldWriteFrame(&frame, out, sizeof(out)), 0);
    frame.ch[1].tns.order = kEldTnsMaxOrder + 1;  // more taps than a decoder accepts
    EXPECT_LT(EldWriteFrame(&frame, out, sizeof(out)), 0);
    frame.ch[1].tns.order = 1;
    frame.ch[1].tns.index[0] = 8;  // not a 4-bit signed index
    EXPECT_LT(EldWriteFrame(&frame, out, sizeof(out)), 0);
}
