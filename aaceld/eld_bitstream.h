// Bit writer, spectral Huffman coding, sectioning and the layout of one access unit
// (a channel pair, or one channel, of 480 lines). Pure functions over plain records.
// A pair: band count, mid/side, then per channel gain, sections, scalefactors, spectrum.
// One channel: gain, band count, sections, scalefactors, spectrum.
#pragma once

#include <cstdint>

#include "aaceld/eld_tables.h"

constexpr int kEldBitsInfinite = 1 << 28; // "cannot be coded with this book"
constexpr int kEldMaxQuant = 8191;        // largest magnitude an escape can carry

struct BitWriter {
    uint8_t *data;
    int capacity;   // bytes
    int64_t bitPos; // bits written so far
    int overflow;   // 1 once a write did not fit; later writes are dropped
};

void BitWriterInit(BitWriter *writer, uint8_t *data, int capacity);
// Appends the low `bits` (0..32) of `value`, most significant first.
void BitWriterPut(BitWriter *writer, uint32_t value, int bits);
// Zero bits up to the next byte boundary.
void BitWriterAlign(BitWriter *writer);

// Bits to code `count` values (a multiple of the book's dimension) with book 1..11,
// codewords, sign bits and escapes included; kEldBitsInfinite if a value does not fit.
[[nodiscard]] int SpectrumBits(const int *q, int count, int book);
void SpectrumWrite(BitWriter *writer, const int *q, int count, int book);
// Smallest book able to code a band whose largest magnitude is `maxAbs` (0 for silence).
[[nodiscard]] int SpectrumSmallestBook(int maxAbs);

// Coded content of one channel.
constexpr int kEldTnsMaxOrder = 12; // largest filter order a decoder takes in this frame size

// One noise-shaping filter over the top `tnsLength` bands, run upward in frequency, with
// 4-bit coefficient indices (-8..7). No filter when tnsOrder is 0.
struct EldTnsFilter {
    int order;
    int length; // bands, counted down from the top band of the table
    int index[kEldTnsMaxOrder];
};

struct EldChannelData {
    int scalefactor[kEldBandCount]; // per band; only bands with book != 0 are sent
    int book[kEldBandCount];        // 0 (all zero) or 1..11
    int q[kEldFrameLength];         // quantized lines
    EldTnsFilter tns;
};

// Bits of the noise-shaping data after its presence bit (0 without a filter).
[[nodiscard]] int EldTnsBits(const EldTnsFilter *tns);

// One access unit.
struct EldFrameData {
    int channels;                  // 1 or 2
    int maxSfb;                    // bands sent, 0..35, shared by the channels
    int msMode;                    // 0 none, 1 per band, 2 all bands
    uint8_t msUsed[kEldBandCount]; // per band when msMode is 1
    EldChannelData ch[2];
};

// Picks the codebook of each of the first `maxSfb` bands minimising section and spectral
// bits together; writes data->book and returns those bits. Without `exhaustive` only the
// two smallest book pairs that fit each band are tried.
int EldChooseBooks(EldChannelData *data, int maxSfb, int exhaustive);
// Bits of the section data for the books chosen.
[[nodiscard]] int EldSectionBits(const int *book, int maxSfb);
// Bits of the scalefactor data; kEldBitsInfinite if a delta is outside +-60 or a
// scalefactor outside 0..255.
[[nodiscard]] int EldScalefactorBits(const EldChannelData *data, int maxSfb);
// The gain written first: the scalefactor of the first band that has one (100 if none).
[[nodiscard]] int EldGlobalGain(const EldChannelData *data, int maxSfb);
// Total bits of the access unit before byte alignment.
[[nodiscard]] int EldFrameBits(const EldFrameData *frame);
// Writes the access unit and pads it to a byte boundary. Returns its length in bytes, or
// -1 when it does not fit in `capacity` or a scalefactor cannot be coded.
[[nodiscard]] int EldWriteFrame(const EldFrameData *frame, uint8_t *out, int capacity);
