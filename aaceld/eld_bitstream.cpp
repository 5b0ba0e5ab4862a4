#include "aaceld/eld_bitstream.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

void BitWriterInit(BitWriter *writer, uint8_t *data, int capacity) {
    writer->data = data;
    writer->capacity = capacity;
    writer->bitPos = 0;
    writer->overflow = 0;
    if (capacity > 0) memset(data, 0, (size_t)capacity);
}

void BitWriterPut(BitWriter *writer, uint32_t value, int bits) {
    if (bits <= 0 || writer->overflow) return;
    if (writer->bitPos + bits > (int64_t)writer->capacity * 8) {
        writer->overflow = 1;
        return;
    }
    // The buffer starts zeroed: OR in up to a byte at a time.
    while (bits > 0) {
        const int room = 8 - (int)(writer->bitPos & 7);
        const int take = bits < room ? bits : room;
        const uint32_t chunk = (value >> (bits - take)) & ((1u << take) - 1);
        writer->data[writer->bitPos >> 3] |= (uint8_t)(chunk << (room - take));
        writer->bitPos += take;
        bits -= take;
    }
}

void BitWriterAlign(BitWriter *writer) {
    int pad = (int)((8 - (writer->bitPos & 7)) & 7);
    BitWriterPut(writer, 0, pad);
}

static int EscapeBits(int v) {
    // 2^n <= v < 2^(n+1), n >= 4: (n - 4) ones, a zero, then n bits.
    int n = 4;
    while ((v >> (n + 1)) != 0)
        n++;
    return (n - 4) + 1 + n;
}

static void EscapeWrite(BitWriter *writer, int v) {
    int n = 4;
    while ((v >> (n + 1)) != 0)
        n++;
    BitWriterPut(writer, (1u << (n - 4)) - 1, n - 4);
    BitWriterPut(writer, 0, 1);
    BitWriterPut(writer, (uint32_t)(v - (1 << n)), n);
}

int SpectrumSmallestBook(int maxAbs) {
    if (maxAbs == 0) return 0;
    if (maxAbs <= 1) return 1;
    if (maxAbs <= 2) return 3;
    if (maxAbs <= 4) return 5;
    if (maxAbs <= 7) return 7;
    if (maxAbs <= 12) return 9;
    return 11;
}

// Codeword index of one tuple, plus its sign and escape bits; -1 if out of range.
static inline int TupleIndex(const EldHuffmanBook &b, const int *v, int *extraBits) {
    int idx = 0, extra = 0;
    if (b.isSigned) {
        const int base = 2 * b.lav + 1;
        for (int i = 0; i < b.dimension; i++) {
            if (v[i] > b.lav || v[i] < -b.lav) return -1;
            idx = idx * base + v[i] + b.lav;
        }
    } else {
        const int base = b.lav + 1;
        for (int i = 0; i < b.dimension; i++) {
            int a = abs(v[i]);
            if (a != 0) extra++;
            if (a > b.lav) {
                if (b.lav != 16 || a > kEldMaxQuant) return -1;
                extra += EscapeBits(a);
                a = 16;
            } else if (a == 16 && b.lav == 16) {
                extra += EscapeBits(a);
            }
            idx = idx * base + a;
        }
    }
    *extraBits = extra;
    return idx;
}

namespace {

// Codeword length plus sign bits per tuple index, for counting without branches.
struct CountTables {
    uint8_t bits[12][289];
    CountTables() {
        for (int cb = 1; cb <= 11; cb++) {
            const EldHuffmanBook &b = kSpectrumBooks[cb];
            const int base = b.isSigned ? 2 * b.lav + 1 : b.lav + 1;
            for (int idx = 0; idx < b.size; idx++) {
                int signs = 0;
                for (int rest = idx, d = 0; d < b.dimension; d++, rest /= base)
                    signs += !b.isSigned && rest % base != 0;
                bits[cb][idx] = (uint8_t)(b.bits[idx] + signs);
            }
        }
    }
};
const CountTables kCount;

inline int EscapeBitsOf(int a) {
    return a >= 16 ? EscapeBits(a) : 0;
}

// Bits of values already known to fit the book.
int CountBits(const int *q, int count, int book) {
    const uint8_t *t = kCount.bits[book];
    int bits = 0;
    switch (book) {
    case 1:
    case 2:
        for (int i = 0; i < count; i += 4)
            bits += t[27 * q[i] + 9 * q[i + 1] + 3 * q[i + 2] + q[i + 3] + 40];
        break;
    case 3:
    case 4:
        for (int i = 0; i < count; i += 4) {
            bits += t[27 * abs(q[i]) + 9 * abs(q[i + 1]) + 3 * abs(q[i + 2]) + abs(q[i + 3])];
        }
        break;
    case 5:
    case 6:
        for (int i = 0; i < count; i += 2)
            bits += t[9 * q[i] + q[i + 1] + 40];
        break;
    case 7:
    case 8:
        for (int i = 0; i < count; i += 2)
            bits += t[8 * abs(q[i]) + abs(q[i + 1])];
        break;
    case 9:
    case 10:
        for (int i = 0; i < count; i += 2)
            bits += t[13 * abs(q[i]) + abs(q[i + 1])];
        break;
    default:
        for (int i = 0; i < count; i += 2) {
            int a = abs(q[i]), c = abs(q[i + 1]);
            bits +=
                t[17 * (a < 16 ? a : 16) + (c < 16 ? c : 16)] + EscapeBitsOf(a) + EscapeBitsOf(c);
        }
        break;
    }
    return bits;
}

} // namespace

int SpectrumBits(const int *q, int count, int book) {
    const EldHuffmanBook &b = kSpectrumBooks[book];
    int maxAbs = 0;
    for (int i = 0; i < count; i++) {
        int a = abs(q[i]);
        maxAbs = a > maxAbs ? a : maxAbs;
    }
    if (maxAbs > (b.lav == 16 ? kEldMaxQuant : b.lav)) return kEldBitsInfinite;
    return CountBits(q, count, book);
}

void SpectrumWrite(BitWriter *writer, const int *q, int count, int book) {
    const EldHuffmanBook &b = kSpectrumBooks[book];
    for (int i = 0; i < count; i += b.dimension) {
        int extra;
        int idx = TupleIndex(b, q + i, &extra);
        if (idx < 0) {
            writer->overflow = 1; // callers check the book first; never emit a bad tuple
            return;
        }
        BitWriterPut(writer, b.codes[idx], b.bits[idx]);
        if (!b.isSigned) {
            for (int k = 0; k < b.dimension; k++) {
                if (q[i + k] != 0) BitWriterPut(writer, q[i + k] < 0 ? 1 : 0, 1);
            }
            if (b.lav == 16) {
                for (int k = 0; k < b.dimension; k++) {
                    if (abs(q[i + k]) >= 16) EscapeWrite(writer, abs(q[i + k]));
                }
            }
        }
    }
}

static int SectionHeaderBits(int length) {
    return 4 + 5 * (1 + length / 31);
}

int EldChooseBooks(EldChannelData *data, int maxSfb, int exhaustive) {
    // Cost of each band in each candidate book, then the cheapest path through (band, book)
    // where switching books starts a new section and costs its header.
    static constexpr int kBooks = 12;
    int cost[kEldBandCount][kBooks];
    uint8_t candidates[kEldBandCount][kBooks];
    int candidateCount[kEldBandCount] = {0};
    uint8_t zero[kEldBandCount];
    for (int b = 0; b < maxSfb; b++) {
        const int start = kSwbOffset480[b], width = kSwbOffset480[b + 1] - start;
        int maxAbs = 0;
        for (int i = 0; i < width; i++) {
            int a = abs(data->q[start + i]);
            if (a > maxAbs) maxAbs = a;
        }
        const int smallest = SpectrumSmallestBook(maxAbs);
        int n = 0;
        zero[b] = smallest == 0;
        if (smallest == 0) {
            cost[b][0] = 0;
            candidates[b][n++] = 0; // books to join neighbouring sections come below
        } else {
            // Larger books rarely win by much; the smallest book pair and the next one
            // cover most of it at a third of the cost.
            int last = exhaustive ? 11 : (smallest == 1 ? 4 : smallest + 3);
            if (last > 11) last = 11;
            for (int cb = smallest; cb <= last; cb++) {
                cost[b][cb] = CountBits(data->q + start, width, cb);
                candidates[b][n++] = (uint8_t)cb;
            }
        }
        candidateCount[b] = n;
    }
    // A silent band may join a neighbouring section rather than break it; it then codes
    // zero tuples and repeats the previous scalefactor (one bit). The books worth trying
    // are those of the coded bands on either side of its run of silent bands (all books
    // when exhaustive).
    for (int b = 0; b < maxSfb;) {
        if (!zero[b]) {
            b++;
            continue;
        }
        int e = b;
        while (e < maxSfb && zero[e])
            e++;
        uint8_t wanted[kBooks] = {0};
        for (int cb = 1; cb < kBooks; cb++)
            wanted[cb] = (uint8_t)exhaustive;
        for (int side : {b - 1, e}) {
            if (side < 0 || side >= maxSfb) continue;
            for (int k = 0; k < candidateCount[side]; k++)
                wanted[candidates[side][k]] = 1;
        }
        for (int z = b; z < e; z++) {
            const int width = kSwbOffset480[z + 1] - kSwbOffset480[z];
            for (int cb = 1; cb < kBooks; cb++) {
                if (!wanted[cb]) continue;
                const EldHuffmanBook &book = kSpectrumBooks[cb];
                const int zeroTuple = book.isSigned ? book.size / 2 : 0;
                cost[z][cb] = width / book.dimension * book.bits[zeroTuple] + 1;
                candidates[z][candidateCount[z]++] = (uint8_t)cb;
            }
        }
        b = e;
    }
    if (maxSfb == 0) return 0;
    int total[kEldBandCount][kBooks];
    int from[kEldBandCount][kBooks];
    int runLength[kEldBandCount][kBooks];
    for (int cb = 0; cb < kBooks; cb++)
        total[0][cb] = kEldBitsInfinite;
    for (int k = 0; k < candidateCount[0]; k++) {
        const int cb = candidates[0][k];
        total[0][cb] = cost[0][cb] + SectionHeaderBits(1);
        from[0][cb] = -1;
        runLength[0][cb] = 1;
    }
    for (int b = 1; b < maxSfb; b++) {
        int bestPrev = candidates[b - 1][0];
        for (int k = 1; k < candidateCount[b - 1]; k++) {
            const int cb = candidates[b - 1][k];
            if (total[b - 1][cb] < total[b - 1][bestPrev]) bestPrev = cb;
        }
        const int freshBase = total[b - 1][bestPrev] + SectionHeaderBits(1);
        for (int cb = 0; cb < kBooks; cb++)
            total[b][cb] = kEldBitsInfinite;
        for (int k = 0; k < candidateCount[b]; k++) {
            const int cb = candidates[b][k];
            int stay = kEldBitsInfinite;
            if (total[b - 1][cb] < kEldBitsInfinite) {
                int len = runLength[b - 1][cb];
                // A section whose length reaches a multiple of 31 needs one more length piece.
                stay = total[b - 1][cb] + cost[b][cb] + ((len + 1) % 31 == 0 ? 5 : 0);
            }
            const int fresh = freshBase + cost[b][cb];
            if (stay <= fresh) {
                total[b][cb] = stay;
                from[b][cb] = cb;
                runLength[b][cb] = runLength[b - 1][cb] + 1;
            } else {
                total[b][cb] = fresh;
                from[b][cb] = bestPrev;
                runLength[b][cb] = 1;
            }
        }
    }
    int cb = 0;
    for (int c = 1; c < kBooks; c++) {
        if (total[maxSfb - 1][c] < total[maxSfb - 1][cb]) cb = c;
    }
    int result = total[maxSfb - 1][cb];
    for (int b = maxSfb - 1; b >= 0; b--) {
        data->book[b] = cb;
        cb = from[b][cb];
    }
    // Silent bands inside a section take the scalefactor before them (or, ahead of the
    // first coded band, the one after), so their delta is zero.
    int last = -1;
    for (int b = 0; b < maxSfb; b++) {
        if (data->book[b] == 0) continue;
        if (!zero[b]) {
            if (last < 0) {
                for (int k = 0; k < b; k++) {
                    if (data->book[k] != 0) data->scalefactor[k] = data->scalefactor[b];
                }
            }
            last = data->scalefactor[b];
            continue;
        }
        result -= 1; // the scalefactor bit is counted with the scalefactors
        if (last >= 0) data->scalefactor[b] = last;
    }
    return result;
}

int EldSectionBits(const int *book, int maxSfb) {
    int bits = 0;
    for (int b = 0; b < maxSfb;) {
        int e = b + 1;
        while (e < maxSfb && book[e] == book[b])
            e++;
        bits += SectionHeaderBits(e - b);
        b = e;
    }
    return bits;
}

int EldGlobalGain(const EldChannelData *data, int maxSfb) {
    for (int b = 0; b < maxSfb; b++) {
        if (data->book[b] != 0) return data->scalefactor[b];
    }
    return 100;
}

int EldScalefactorBits(const EldChannelData *data, int maxSfb) {
    int prev = EldGlobalGain(data, maxSfb), bits = 0;
    for (int b = 0; b < maxSfb; b++) {
        if (data->book[b] == 0) continue;
        int sf = data->scalefactor[b], delta = sf - prev;
        if (sf < 0 || sf > 255 || delta < -60 || delta > 60) return kEldBitsInfinite;
        bits += kScalefactorBits[delta + 60];
        prev = sf;
    }
    return bits;
}

static int ChannelSpectralBits(const EldChannelData *data, int maxSfb) {
    int bits = 0;
    for (int b = 0; b < maxSfb; b++) {
        if (data->book[b] == 0) continue;
        int start = kSwbOffset480[b], width = kSwbOffset480[b + 1] - start;
        int n = SpectrumBits(data->q + start, width, data->book[b]);
        if (n >= kEldBitsInfinite) return kEldBitsInfinite;
        bits += n;
    }
    return bits;
}

int EldTnsBits(const EldTnsFilter *tns) {
    return tns->order > 0 ? 2 + 1 + 6 + 5 + 1 + 1 + 4 * tns->order : 0;
}

int EldFrameBits(const EldFrameData *frame) {
    int bits = 6 + (frame->channels == 2 ? 2 : 0);
    if (frame->channels == 2 && frame->msMode == 1) bits += frame->maxSfb;
    for (int c = 0; c < frame->channels; c++) {
        const EldChannelData *d = &frame->ch[c];
        int sfBits = EldScalefactorBits(d, frame->maxSfb);
        int specBits = ChannelSpectralBits(d, frame->maxSfb);
        if (sfBits >= kEldBitsInfinite || specBits >= kEldBitsInfinite) return kEldBitsInfinite;
        bits += 8 + EldSectionBits(d->book, frame->maxSfb) + sfBits + 1 + EldTnsBits(&d->tns) +
                specBits;
    }
    return bits;
}

int EldWriteFrame(const EldFrameData *frame, uint8_t *out, int capacity) {
    if (frame->maxSfb < 0 || frame->maxSfb > kEldBandCount || frame->channels < 1 ||
        frame->channels > 2) {
        return -1;
    }
    for (int c = 0; c < frame->channels; c++) {
        const EldTnsFilter &tns = frame->ch[c].tns;
        if (tns.order < 0 || tns.order > kEldTnsMaxOrder || tns.length < 0 || tns.length > 63)
            return -1;
        for (int i = 0; i < tns.order; i++) {
            if (tns.index[i] < -8 || tns.index[i] > 7) return -1;
        }
    }
    for (int c = 0; c < frame->channels; c++) {
        if (EldScalefactorBits(&frame->ch[c], frame->maxSfb) >= kEldBitsInfinite) return -1;
    }
    BitWriter w;
    BitWriterInit(&w, out, capacity);
    const int maxSfb = frame->maxSfb;
    // A single channel sends its gain before the band count; a pair shares the band count
    // and sends each gain with its channel.
    if (frame->channels == 1) BitWriterPut(&w, (uint32_t)EldGlobalGain(&frame->ch[0], maxSfb), 8);
    BitWriterPut(&w, (uint32_t)maxSfb, 6);
    if (frame->channels == 2) {
        BitWriterPut(&w, (uint32_t)frame->msMode, 2);
        if (frame->msMode == 1) {
            for (int b = 0; b < maxSfb; b++)
                BitWriterPut(&w, frame->msUsed[b] ? 1 : 0, 1);
        }
    }
    for (int c = 0; c < frame->channels; c++) {
        const EldChannelData *d = &frame->ch[c];
        const int gain = EldGlobalGain(d, maxSfb);
        if (frame->channels == 2) BitWriterPut(&w, (uint32_t)gain, 8);
        for (int b = 0; b < maxSfb;) {
            int e = b + 1;
            while (e < maxSfb && d->book[e] == d->book[b])
                e++;
            BitWriterPut(&w, (uint32_t)d->book[b], 4);
            int len = e - b;
            while (len >= 31) {
                BitWriterPut(&w, 31, 5);
                len -= 31;
            }
            BitWriterPut(&w, (uint32_t)len, 5);
            b = e;
        }
        int prev = gain;
        for (int b = 0; b < maxSfb; b++) {
            if (d->book[b] == 0) continue;
            int idx = d->scalefactor[b] - prev + 60;
            BitWriterPut(&w, kScalefactorCodes[idx], kScalefactorBits[idx]);
            prev = d->scalefactor[b];
        }
        const EldTnsFilter &tns = d->tns;
        BitWriterPut(&w, tns.order > 0 ? 1 : 0, 1);
        if (tns.order > 0) {
            BitWriterPut(&w, 1, 2); // one filter
            BitWriterPut(&w, 1, 1); // 4-bit coefficients
            BitWriterPut(&w, (uint32_t)tns.length, 6);
            BitWriterPut(&w, (uint32_t)tns.order, 5);
            BitWriterPut(&w, 0, 1); // upward
            BitWriterPut(&w, 0, 1); // no coefficient compression
            for (int i = 0; i < tns.order; i++)
                BitWriterPut(&w, (uint32_t)tns.index[i] & 15u, 4);
        }
        for (int b = 0; b < maxSfb; b++) {
            if (d->book[b] == 0) continue;
            int start = kSwbOffset480[b];
            SpectrumWrite(&w, d->q + start, kSwbOffset480[b + 1] - start, d->book[b]);
        }
    }
    BitWriterAlign(&w);
    if (w.overflow) return -1;
    return (int)(w.bitPos / 8);
}
