#include "aaceld/eld_tns.h"

#include <cmath>

namespace {

constexpr int kOrder = 8;         // filter order searched
constexpr double kMinGain = 1.41; // prediction gain (about 1.5 dB) worth the side bits
constexpr double kHalfPi = M_PI / 2.0;
// 4-bit coefficient indices: asin of the reflection coefficient scaled to -8..7.
constexpr double kScalePositive = 7.5 / kHalfPi;
constexpr double kScaleNegative = 8.5 / kHalfPi;

// Reflection coefficients from their indices, then the direct-form coefficients by the
// step-up recursion: a[m] = k(m), a[i] += k(m) a[m - i].
void FilterCoefficients(const EldTnsFilter *filter, double *a) {
    double reflection[kEldTnsMaxOrder];
    for (int i = 0; i < filter->order; i++) {
        int idx = filter->index[i];
        reflection[i] = sin(idx / (idx >= 0 ? kScalePositive : kScaleNegative));
    }
    for (int i = 0; i <= kEldTnsMaxOrder; i++)
        a[i] = 0;
    a[0] = 1;
    for (int m = 1; m <= filter->order; m++) {
        double prev[kEldTnsMaxOrder + 1];
        for (int i = 0; i < m; i++)
            prev[i] = a[i];
        for (int i = 1; i < m; i++)
            a[i] = prev[i] + reflection[m - 1] * prev[m - i];
        a[m] = reflection[m - 1];
    }
}

struct LagWindow {
    double weight[kOrder + 1];
    LagWindow() {
        for (int k = 0; k <= kOrder; k++)
            weight[k] = exp(-0.5 * (0.4 * k) * (0.4 * k));
    }
};

void Region(int topBand, int *start, int *end) {
    *start = kSwbOffset480[kEldTnsStartBand];
    *end = kSwbOffset480[topBand > kEldTnsStartBand ? topBand : kEldTnsStartBand];
}

} // namespace

int EldTnsTopBand(int sampleRate, int bandLimit) {
    const int top = sampleRate == 48000 ? 31 : 32;
    return bandLimit < top ? bandLimit : top;
}

int EldTnsAnalyze(float *spectrum, int topBand, EldTnsFilter *filter) {
    filter->order = 0;
    filter->length = 0;
    int start, end;
    Region(topBand, &start, &end);
    if (end - start < 4 * kOrder) return 0;
    // Autocorrelation across frequency with a mild lag window against sharp peaks.
    static const LagWindow kLag;
    double r[kOrder + 1];
    for (int k = 0; k <= kOrder; k++) {
        // Four running sums in float: enough for a filter of this order, and quick.
        float s0 = 0, s1 = 0, s2 = 0, s3 = 0;
        int n = start + k;
        for (; n + 4 <= end; n += 4) {
            s0 += spectrum[n] * spectrum[n - k];
            s1 += spectrum[n + 1] * spectrum[n + 1 - k];
            s2 += spectrum[n + 2] * spectrum[n + 2 - k];
            s3 += spectrum[n + 3] * spectrum[n + 3 - k];
        }
        for (; n < end; n++)
            s0 += spectrum[n] * spectrum[n - k];
        r[k] = ((double)s0 + s1 + s2 + s3) * kLag.weight[k];
    }
    if (r[0] <= 1e-9) return 0;
    // Levinson recursion for e[n] = x[n] + sum a[i] x[n - i].
    double a[kOrder + 1] = {1.0}, err = r[0], reflection[kOrder];
    for (int m = 1; m <= kOrder; m++) {
        double acc = r[m];
        for (int i = 1; i < m; i++)
            acc += a[i] * r[m - i];
        double k = -acc / err;
        reflection[m - 1] = k;
        double prev[kOrder + 1];
        for (int i = 0; i < m; i++)
            prev[i] = a[i];
        for (int i = 1; i < m; i++)
            a[i] = prev[i] + k * prev[m - i];
        a[m] = k;
        err *= 1.0 - k * k;
        if (err <= 0) return 0;
    }
    if (r[0] / err < kMinGain) return 0;
    int order = 0;
    for (int i = 0; i < kOrder; i++) {
        double s = asin(reflection[i] > 1 ? 1 : (reflection[i] < -1 ? -1 : reflection[i]));
        int idx = (int)lrint(s * (s >= 0 ? kScalePositive : kScaleNegative));
        idx = idx > 7 ? 7 : (idx < -8 ? -8 : idx);
        filter->index[i] = idx;
        if (idx != 0) order = i + 1;
    }
    if (order == 0) return 0;
    filter->order = order;
    filter->length = kEldBandCount - kEldTnsStartBand;
    // Filter with the coefficients the decoder will rebuild, from the top down so each
    // output uses unfiltered lower lines.
    double q[kEldTnsMaxOrder + 1];
    FilterCoefficients(filter, q);
    for (int n = end - 1; n >= start; n--) {
        double e = spectrum[n];
        const int reach = n - start < order ? n - start : order;
        for (int i = 1; i <= reach; i++)
            e += q[i] * spectrum[n - i];
        spectrum[n] = (float)e;
    }
    return 1;
}

void EldTnsSynthesize(float *spectrum, int topBand, const EldTnsFilter *filter) {
    if (filter->order <= 0) return;
    int start, end;
    Region(topBand, &start, &end);
    double a[kEldTnsMaxOrder + 1];
    FilterCoefficients(filter, a);
    for (int n = start; n < end; n++) {
        double y = spectrum[n];
        const int reach = n - start < filter->order ? n - start : filter->order;
        for (int i = 1; i <= reach; i++)
            y -= a[i] * spectrum[n - i];
        spectrum[n] = (float)y;
    }
}
