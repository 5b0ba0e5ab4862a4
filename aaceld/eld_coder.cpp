#include "aaceld/eld_coder.h"

#include "aaceld/eld_tns.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kN = kEldFrameLength;
constexpr float kRounding = 0.4054f; // quantiser rounding offset in the |x|^(3/4) domain
constexpr int kOffsetLow = -200;     // search range of the common step offset
constexpr int kOffsetHigh = 300;
constexpr double kRefill = 0.1; // share of the reservoir's distance from half full spent or saved
constexpr double kDraw = 0.5;   // share of the reservoir a frame of twice the usual demand takes //
                                // every band quantises to zero here

struct StepTable {
    float inverseStep[256]; // 2^(-3 (sf - 100) / 16): scales |x|^(3/4) to quantiser units
    StepTable() {
        for (int sf = 0; sf < 256; sf++)
            inverseStep[sf] = (float)pow(2.0, -3.0 * (sf - 100) / 16.0);
    }
};
const StepTable kSteps;

// Hearing threshold in dB SPL at frequency f (Hz), clamped at the top of the range.
double HearingThresholdDb(double f) {
    double k = f / 1000.0;
    if (k < 0.02) k = 0.02;
    double db =
        3.64 * pow(k, -0.8) - 6.5 * exp(-0.6 * (k - 3.3) * (k - 3.3)) + 1e-3 * k * k * k * k;
    return db > 90.0 ? 90.0 : db;
}

// What the search needs of one channel of one frame.
struct ChannelAnalysis {
    float spectrum[kN];
    float magnitude34[kN];         // |X|^(3/4)
    float baseStep[kEldBandCount]; // scalefactor for the wanted noise, before the offset
    int minStep[kEldBandCount];    // smallest scalefactor that keeps values <= 8191
    uint8_t silent[kEldBandCount]; // band is all zero
    EldTnsFilter tns;              // filter already applied to `spectrum`
};

float Sanitize(float x) {
    if (!(x == x)) return 0.0f; // NaN
    if (x > 32767.0f) return 32767.0f;
    if (x < -32768.0f) return -32768.0f;
    if (x > -1e-6f && x < 1e-6f) return 0.0f; // flush denormals and dust
    return x;
}

void BandEnergies(const float *x, float *energy) {
    for (int b = 0; b < kEldBandCount; b++) {
        double e = 0;
        for (int i = kSwbOffset480[b]; i < kSwbOffset480[b + 1]; i++)
            e += (double)x[i] * x[i];
        energy[b] = (float)(e / (kSwbOffset480[b + 1] - kSwbOffset480[b]));
    }
}

// Noise power per line each band may carry: its energy spread over neighbouring bands
// (masking reaches further up in frequency than down), a fixed signal-to-mask ratio, and
// the hearing threshold as a floor.
// log2 to about 0.01: exponent plus a quadratic fit of the mantissa. Enough for flatness.
inline float FastLog2(float x) {
    uint32_t bits;
    memcpy(&bits, &x, sizeof(bits));
    const float exponent = (float)((int)((bits >> 23) & 255) - 127);
    bits = (bits & 0x007FFFFFu) | 0x3F800000u;
    float m;
    memcpy(&m, &bits, sizeof(m));
    m -= 1.0f;
    return exponent + m * (1.3465557f - 0.3465557f * m);
}

// How tone-like each band is, 0 (flat, noise) to 1 (peaky): the spectral flatness of its
// lines in dB, scaled so that -30 dB counts as a pure tone.
void BandTonality(const float *x, int bandLimit, float *tonality) {
    for (int b = 0; b < kEldBandCount; b++) {
        tonality[b] = 0;
        if (b >= bandLimit) continue;
        const int start = kSwbOffset480[b], end = kSwbOffset480[b + 1];
        float sum = 0, logSum = 0;
        for (int i = start; i < end; i++) {
            float e = x[i] * x[i] + 1e-3f;
            sum += e;
            logSum += FastLog2(e);
        }
        const float n = (float)(end - start);
        float flatnessDb = 3.0103f * (logSum / n - log2f(sum / n)); // 10 log10(geo / arith)
        float t = flatnessDb / -30.0f;
        tonality[b] = (float)(t < 0 ? 0 : (t > 1 ? 1 : t));
    }
}

void MaskingThreshold(const EldCoder *coder, const float *energy, const float *tonality,
                      float *threshold) {
    constexpr float kUpward = 0.05f;    // -13 dB per band toward higher frequencies
    constexpr float kDownward = 0.003f; // -25 dB per band toward lower frequencies
    constexpr float kMaskRatio = 0.02f; // -17 dB below the spread energy
    // Below 1 the noise follows the spectrum only partly, so quiet bands carry relatively
    // less noise: a balance between masking and plain signal-to-noise ratio.
    constexpr float kShape = 0.4f;
    constexpr float kTonalDb = 6.0f; // extra noise margin under a pure tone
    float spread[kEldBandCount];
    for (int b = 0; b < kEldBandCount; b++) {
        float s = energy[b];
        if (b > 0 && spread[b - 1] * kUpward > s) s = spread[b - 1] * kUpward;
        spread[b] = s;
    }
    for (int b = kEldBandCount - 2; b >= 0; b--) {
        if (spread[b + 1] * kDownward > spread[b]) spread[b] = spread[b + 1] * kDownward;
    }
    float peak = 0;
    for (int b = 0; b < kEldBandCount; b++)
        peak = spread[b] > peak ? spread[b] : peak;
    for (int b = 0; b < kEldBandCount; b++) {
        float t = kMaskRatio * powf(spread[b] + 1e-9f, kShape) * powf(peak + 1e-9f, 1.0f - kShape);
        // Noise hides under noise far better than under a tone.
        t *= powf(10.0f, -kTonalDb * tonality[b] / 10.0f);
        threshold[b] = t > coder->athLine[b] ? t : coder->athLine[b];
    }
}

// Scalefactors for a wanted noise power per line. Quantising y = |x|^(3/4) with unit steps
// leaves about (4/27) |x|^(1/2) 2^(3 (sf - 100) / 8) of noise power per line.
void PrepareChannel(ChannelAnalysis *a, const float *threshold) {
    for (int i = 0; i < kN; i++) {
        float m = fabsf(a->spectrum[i]);
        a->magnitude34[i] = sqrtf(m * sqrtf(m));
    }
    for (int b = 0; b < kEldBandCount; b++) {
        const int start = kSwbOffset480[b], end = kSwbOffset480[b + 1];
        float sumRoot = 0, peak = 0;
        for (int i = start; i < end; i++) {
            float m = fabsf(a->spectrum[i]);
            sumRoot += sqrtf(m);
            if (m > peak) peak = m;
        }
        a->silent[b] = peak <= 0.0f;
        if (a->silent[b]) {
            a->baseStep[b] = 255;
            a->minStep[b] = 0;
            continue;
        }
        float meanRoot = sumRoot / (float)(end - start);
        a->baseStep[b] = 100.0f + (8.0f / 3.0f) * log2f(27.0f * threshold[b] / (4.0f * meanRoot));
        // peak * 2^(-(sf - 100) / 4) must stay below 8191^(4/3)
        int lowest = (int)ceilf(100.0f + 4.0f * log2f(peak / 165113.0f));
        a->minStep[b] = lowest < 0 ? 0 : lowest;
    }
}

// Quantises one channel with the common offset; keeps scalefactor deltas codable.
void QuantizeChannel(const ChannelAnalysis *a, int bandLimit, int offset, EldChannelData *out,
                     int *lastBand) {
    int prev = -1;
    *lastBand = -1;
    for (int b = 0; b < kEldBandCount; b++) {
        const int start = kSwbOffset480[b], end = kSwbOffset480[b + 1];
        out->book[b] = 0;
        out->scalefactor[b] = 0;
        if (b >= bandLimit || a->silent[b]) {
            memset(out->q + start, 0, sizeof(int) * (end - start));
            continue;
        }
        int sf = (int)lrintf(a->baseStep[b]) + offset;
        if (sf < a->minStep[b]) sf = a->minStep[b];
        if (sf > 255) sf = 255;
        if (prev >= 0) {
            if (sf > prev + 60) sf = prev + 60;
            if (sf < prev - 60) sf = prev - 60;
        }
        const float scale = kSteps.inverseStep[sf];
        int any = 0;
        for (int i = start; i < end; i++) {
            int q = (int)(a->magnitude34[i] * scale + kRounding);
            if (q > kEldMaxQuant) q = kEldMaxQuant;
            any |= q;
            out->q[i] = a->spectrum[i] < 0 ? -q : q;
        }
        if (!any) continue;
        out->scalefactor[b] = sf;
        out->book[b] = 1; // non-zero marker until the books are chosen
        prev = sf;
        *lastBand = b;
    }
}

// Quantises the frame at one offset and returns its bits (before byte alignment).
int TrialFrame(const EldCoder *coder, const ChannelAnalysis *an, const uint8_t *msUsed, int offset,
               EldFrameData *frame) {
    frame->channels = coder->channels;
    int maxSfb = 0;
    for (int c = 0; c < coder->channels; c++) {
        int last;
        QuantizeChannel(&an[c], coder->bandLimit, offset, &frame->ch[c], &last);
        frame->ch[c].tns = an[c].tns;
        if (last + 1 > maxSfb) maxSfb = last + 1;
    }
    frame->maxSfb = maxSfb;
    int bits = 6;
    if (coder->channels == 2) {
        int used = 0;
        for (int b = 0; b < maxSfb; b++) {
            frame->msUsed[b] = msUsed[b];
            used += msUsed[b];
        }
        frame->msMode = used == 0 ? 0 : (used == maxSfb ? 2 : 1);
        bits += 2 + (frame->msMode == 1 ? maxSfb : 0);
    }
    for (int c = 0; c < coder->channels; c++) {
        EldChannelData *d = &frame->ch[c];
        int sections = EldChooseBooks(d, maxSfb, 0);
        int sfBits = EldScalefactorBits(d, maxSfb);
        if (sections >= kEldBitsInfinite || sfBits >= kEldBitsInfinite) return kEldBitsInfinite;
        bits += 8 + sections + sfBits + 1 + EldTnsBits(&d->tns);
    }
    return bits;
}

// Mid/side for a band when it needs fewer bits by a rough entropy estimate: each line
// costs about log2(1 + energy / noise) / 2. Mid and side noise both reach each output
// channel, so each gets half the smaller of the two thresholds.
void ChooseMidSide(ChannelAnalysis *an, float threshold[2][kEldBandCount], uint8_t *msUsed) {
    for (int b = 0; b < kEldBandCount; b++) {
        const int start = kSwbOffset480[b], end = kSwbOffset480[b + 1];
        double el = 0, er = 0, em = 0, es = 0;
        for (int i = start; i < end; i++) {
            float l = an[0].spectrum[i], r = an[1].spectrum[i];
            float m = 0.5f * (l + r), s = 0.5f * (l - r);
            el += l * l, er += r * r, em += m * m, es += s * s;
        }
        const double w = end - start;
        const double tl = threshold[0][b], tr = threshold[1][b];
        const double tms = 0.5 * (tl < tr ? tl : tr);
        double costLr = log2(1.0 + el / w / tl) + log2(1.0 + er / w / tr);
        double costMs = log2(1.0 + em / w / tms) + log2(1.0 + es / w / tms);
        msUsed[b] = costMs < costLr;
        if (!msUsed[b]) continue;
        for (int i = start; i < end; i++) {
            float l = an[0].spectrum[i], r = an[1].spectrum[i];
            an[0].spectrum[i] = 0.5f * (l + r);
            an[1].spectrum[i] = 0.5f * (l - r);
        }
        threshold[0][b] = threshold[1][b] = (float)tms;
    }
}

} // namespace

int EldBandLimitForRate(int bitsPerSecondPerChannel) {
    // Band b ends at kSwbOffset480[b] lines of 45.9 Hz at 44.1 kHz.
    if (bitsPerSecondPerChannel >= 96000) return 35; // full band
    if (bitsPerSecondPerChannel >= 56000) return 32; // 16.9 kHz
    if (bitsPerSecondPerChannel >= 40000) return 30; // 14 kHz
    if (bitsPerSecondPerChannel >= 28000) return 28; // 11 kHz
    return 25;                                       // 7.9 kHz
}

int EldCoderInit(EldCoder *coder, int sampleRate, int bitRate, int channels) {
    if ((sampleRate != 44100 && sampleRate != 48000) || (channels != 1 && channels != 2)) return 0;
    if (bitRate < 8000 * channels || bitRate > 576000 * channels) return 0;
    memset(coder, 0, sizeof(*coder));
    coder->sampleRate = sampleRate;
    coder->bitRate = bitRate;
    coder->channels = channels;
    coder->bandLimit = EldBandLimitForRate(bitRate / channels);
    coder->meanBits = (double)bitRate * kN / sampleRate;
    coder->maxFrameBits = 6144 * channels;
    double room = coder->maxFrameBits - coder->meanBits;
    coder->reservoirMax = room < 2 * coder->meanBits ? room : 2 * coder->meanBits;
    if (coder->reservoirMax < 0) coder->reservoirMax = 0;
    coder->reservoir = 0.5 * coder->reservoirMax; // where the rate control holds it
    coder->bitsSlope = 0.08;
    coder->lastOffset = 0;
    // A line's noise power relates to the time-domain noise variance by twice the window's
    // energy; a full-scale sine stands for 96 dB SPL.
    double windowEnergy = 0;
    for (int j = 0; j < kEldWindowLength; j++)
        windowEnergy += (double)kEldWindow480[j] * kEldWindow480[j];
    const double fullScalePower = 32768.0 * 32768.0 / 2.0;
    for (int b = 0; b < kEldBandCount; b++) {
        double lowest = 1e9;
        for (int i = kSwbOffset480[b]; i < kSwbOffset480[b + 1]; i++) {
            double db = HearingThresholdDb((i + 0.5) * sampleRate / (2.0 * kN));
            if (db < lowest) lowest = db;
        }
        coder->athLine[b] =
            (float)(2.0 * windowEnergy * fullScalePower * pow(10.0, (lowest - 10.0 - 96.0) / 10.0));
    }
    return 1;
}

int EldCoderEncode(EldCoder *coder, const float *pcm, uint8_t *out, int capacity) {
    const int channels = coder->channels;
    ChannelAnalysis an[2];
    float threshold[2][kEldBandCount], energies[2][kEldBandCount];
    for (int c = 0; c < channels; c++) {
        float *h = coder->history[c];
        memmove(h, h + kN, sizeof(float) * (kEldHistoryLength - kN));
        for (int i = 0; i < kN; i++)
            h[kEldHistoryLength - kN + i] = Sanitize(pcm[i * channels + c]);
        EldAnalyze(h, an[c].spectrum);
        float *energy = energies[c];
        BandEnergies(an[c].spectrum, energy);
        float tonality[kEldBandCount];
        BandTonality(an[c].spectrum, coder->bandLimit, tonality);
        MaskingThreshold(coder, energy, tonality, threshold[c]);
        (void)EldTnsAnalyze(an[c].spectrum, EldTnsTopBand(coder->sampleRate, coder->bandLimit),
                            &an[c].tns);
    }
    // Bits the frame needs to stay under its thresholds, roughly: half a bit per line for
    // every doubling of energy over the allowed noise.
    double demand = 0;
    for (int c = 0; c < channels; c++) {
        for (int b = 0; b < coder->bandLimit; b++) {
            const int width = kSwbOffset480[b + 1] - kSwbOffset480[b];
            demand += 0.5 * width * FastLog2(1.0f + energies[c][b] / threshold[c][b]);
        }
    }
    uint8_t msUsed[kEldBandCount] = {0};
    if (channels == 2) ChooseMidSide(an, threshold, msUsed);
    for (int c = 0; c < channels; c++)
        PrepareChannel(&an[c], threshold[c]);

    // The reservoir is held around half full; a frame that needs more than usual (an
    // attack, a new note) draws on it, and easy frames refill it.
    const double ratio = coder->demandAverage > 0 ? demand / coder->demandAverage : 1.0;
    coder->demandAverage =
        coder->demandAverage > 0 ? 0.9 * coder->demandAverage + 0.1 * demand : demand;
    double want = coder->meanBits + kRefill * (coder->reservoir - 0.5 * coder->reservoirMax);
    if (ratio > 1.0) want += coder->reservoir * (ratio - 1.0 > 1.0 ? 1.0 : ratio - 1.0) * kDraw;
    if (want > coder->meanBits + coder->reservoir) want = coder->meanBits + coder->reservoir;
    if (want < 0.5 * coder->meanBits) want = 0.5 * coder->meanBits;
    int budget = (int)want;
    if (budget > coder->maxFrameBits) budget = coder->maxFrameBits;
    if (budget > capacity * 8) budget = capacity * 8;
    budget -= 7; // room for the byte alignment

    // Smallest offset (finest steps) whose frame fits. Bits fall as the offset rises and the
    // coarsest end codes nothing, so it always fits. Neighbouring frames need similar
    // offsets: bracket the answer starting from the last one, then bisect.
    EldFrameData *trial = &coder->frame[0], *best = &coder->frame[1];
    int good = kOffsetHigh + 1, bad = kOffsetLow - 1;
    int anyFit = 0, lastBits = 0;
    auto fits = [&](int offset) {
        lastBits = TrialFrame(coder, an, msUsed, offset, trial);
        if (lastBits > budget) return false;
        EldFrameData *t = best;
        best = trial, trial = t;
        anyFit = 1;
        return true;
    };
    int start = coder->lastOffset;
    if (start < kOffsetLow) start = kOffsetLow;
    if (start > kOffsetHigh) start = kOffsetHigh;
    // The bits fall by a roughly constant factor per offset step, so the first trial's
    // distance from the budget predicts where the answer lies; the slope is learnt from
    // the trials of earlier frames.
    const bool startFits = fits(start);
    const int startBits = lastBits;
    int guess = start;
    if (startBits > 0 && startBits < kEldBitsInfinite) {
        double steps = log2((double)startBits / (budget > 1 ? budget : 1)) / coder->bitsSlope;
        if (steps > 64) steps = 64;
        if (steps < -64) steps = -64;
        guess = start + (int)lrint(steps);
    }
    auto learn = [&](int offset) {
        if (offset == start || lastBits <= 0 || lastBits >= kEldBitsInfinite) return;
        double slope = (log2((double)startBits) - log2((double)lastBits)) / (offset - start);
        if (slope > 0.005 && slope < 1.0) coder->bitsSlope = 0.7 * coder->bitsSlope + 0.3 * slope;
    };
    if (startFits) {
        good = start;
        int c = guess < start - 1 ? guess : start - 1;
        if (c < kOffsetLow) c = kOffsetLow;
        for (int step = 1; good > kOffsetLow; step *= 2) {
            const bool ok = fits(c);
            learn(c);
            if (!ok) {
                bad = c;
                break;
            }
            good = c;
            c = good - step < kOffsetLow ? kOffsetLow : good - step;
        }
    } else {
        bad = start;
        int c = guess > start + 1 ? guess : start + 1;
        if (c > kOffsetHigh) c = kOffsetHigh;
        for (int step = 1;; step *= 2) {
            const bool ok = fits(c);
            learn(c);
            if (ok || c == kOffsetHigh) {
                good = c;
                break;
            }
            bad = c;
            c = bad + step > kOffsetHigh ? kOffsetHigh : bad + step;
        }
    }
    while (good - bad > 1) {
        int mid = bad + (good - bad) / 2;
        if (fits(mid)) {
            good = mid;
        } else {
            bad = mid;
        }
    }
    // Only an output buffer smaller than an empty frame gets here; write the coarsest
    // frame so the writer reports the shortfall.
    if (!anyFit) (void)TrialFrame(coder, an, msUsed, kOffsetHigh, best);
    const int bestOffset = good;
    // The search compared quick book choices; the frame sent gets the best ones, and what
    // that saves goes to the reservoir.
    for (int c = 0; c < channels; c++)
        (void)EldChooseBooks(&best->ch[c], best->maxSfb, 1);
    coder->lastOffset = bestOffset;
    int bytes = EldWriteFrame(best, out, capacity);
    if (bytes < 0) return -1;
    coder->reservoir += coder->meanBits - bytes * 8.0;
    if (coder->reservoir < 0) coder->reservoir = 0;
    if (coder->reservoir > coder->reservoirMax) coder->reservoir = coder->reservoirMax;
    return bytes;
}
