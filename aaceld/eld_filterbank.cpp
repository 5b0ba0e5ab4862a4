#include "aaceld/eld_filterbank.h"

#include <cmath>

#include "aaceld/eld_tables.h"

namespace {

constexpr int kN = kEldFrameLength; // 480 lines
constexpr int kM = kN / 2;          // 240-point complex transform
constexpr int kStageCount = 4;
constexpr int kFactors[kStageCount] = {4, 4, 3, 5};

struct Tables {
    float reversedWindow[kEldHistoryLength]; // w[1919 - j]
    float preRe[kM], preIm[kM];              // exp(-i pi (n + 1/4) / 480)
    float postRe[kM], postIm[kM];            // exp(-i pi k / 480)
    // Per stage, per (q, j): exp(-2 pi i j q / n) with n the stage's length.
    float twRe[kStageCount][kM], twIm[kStageCount][kM];
};

const Tables &GetTables() {
    static const Tables tables = [] {
        Tables t{};
        for (int j = 0; j < kEldHistoryLength; j++)
            t.reversedWindow[j] = kEldWindow480[1919 - j];
        for (int n = 0; n < kM; n++) {
            double a = -M_PI * (n + 0.25) / kN;
            t.preRe[n] = (float)cos(a);
            t.preIm[n] = (float)sin(a);
            double b = -M_PI * n / kN;
            t.postRe[n] = (float)cos(b);
            t.postIm[n] = (float)sin(b);
        }
        int n = kM;
        for (int s = 0; s < kStageCount; s++) {
            int p = kFactors[s], m = n / p;
            for (int q = 0; q < m; q++) {
                for (int j = 0; j < p; j++) {
                    double a = -2.0 * M_PI * j * q / n;
                    t.twRe[s][q * p + j] = (float)cos(a);
                    t.twIm[s][q * p + j] = (float)sin(a);
                }
            }
            n = m;
        }
        return t;
    }();
    return tables;
}

// One self-sorting stage: y[r + s(pq + j)] = tw(q, j) * sum_k x[r + s(q + mk)] W_p^(jk).
template <int P>
void Stage(const float *xr, const float *xi, float *yr, float *yi, int n, int s, const float *twr,
           const float *twi) {
    const int m = n / P;
    for (int q = 0; q < m; q++) {
        for (int r = 0; r < s; r++) {
            float ar[P], ai[P], br[P], bi[P];
            for (int k = 0; k < P; k++) {
                ar[k] = xr[r + s * (q + m * k)];
                ai[k] = xi[r + s * (q + m * k)];
            }
            if constexpr (P == 4) {
                float s0r = ar[0] + ar[2], s0i = ai[0] + ai[2];
                float d0r = ar[0] - ar[2], d0i = ai[0] - ai[2];
                float s1r = ar[1] + ar[3], s1i = ai[1] + ai[3];
                float d1r = ar[1] - ar[3], d1i = ai[1] - ai[3];
                br[0] = s0r + s1r, bi[0] = s0i + s1i;
                br[2] = s0r - s1r, bi[2] = s0i - s1i;
                br[1] = d0r + d1i, bi[1] = d0i - d1r; // d0 - i d1
                br[3] = d0r - d1i, bi[3] = d0i + d1r; // d0 + i d1
            } else if constexpr (P == 3) {
                const float h = 0.86602540378f; // sin(2 pi / 3)
                float tr = ar[1] + ar[2], ti = ai[1] + ai[2];
                float dr = ar[1] - ar[2], di = ai[1] - ai[2];
                float mr = ar[0] - 0.5f * tr, mi = ai[0] - 0.5f * ti;
                br[0] = ar[0] + tr, bi[0] = ai[0] + ti;
                br[1] = mr + h * di, bi[1] = mi - h * dr;
                br[2] = mr - h * di, bi[2] = mi + h * dr;
            } else {
                static_assert(P == 5);
                const float c1 = 0.30901699437f, c2 = -0.80901699437f;
                const float s1 = 0.95105651630f, s2 = 0.58778525229f;
                float t1r = ar[1] + ar[4], t1i = ai[1] + ai[4];
                float t2r = ar[2] + ar[3], t2i = ai[2] + ai[3];
                float t3r = ar[1] - ar[4], t3i = ai[1] - ai[4];
                float t4r = ar[2] - ar[3], t4i = ai[2] - ai[3];
                float m1r = ar[0] + c1 * t1r + c2 * t2r, m1i = ai[0] + c1 * t1i + c2 * t2i;
                float m2r = ar[0] + c2 * t1r + c1 * t2r, m2i = ai[0] + c2 * t1i + c1 * t2i;
                float n1r = s1 * t3r + s2 * t4r, n1i = s1 * t3i + s2 * t4i;
                float n2r = s2 * t3r - s1 * t4r, n2i = s2 * t3i - s1 * t4i;
                br[0] = ar[0] + t1r + t2r, bi[0] = ai[0] + t1i + t2i;
                br[1] = m1r + n1i, bi[1] = m1i - n1r; // m1 - i n1
                br[4] = m1r - n1i, bi[4] = m1i + n1r;
                br[2] = m2r + n2i, bi[2] = m2i - n2r;
                br[3] = m2r - n2i, bi[3] = m2i + n2r;
            }
            for (int j = 0; j < P; j++) {
                float wr = twr[q * P + j], wi = twi[q * P + j];
                int o = r + s * (P * q + j);
                yr[o] = br[j] * wr - bi[j] * wi;
                yi[o] = br[j] * wi + bi[j] * wr;
            }
        }
    }
}

} // namespace

void EldFft240(float *re, float *im) {
    const Tables &t = GetTables();
    float bufRe[kM], bufIm[kM];
    float *xr = re, *xi = im, *yr = bufRe, *yi = bufIm;
    int n = kM, s = 1;
    for (int st = 0; st < kStageCount; st++) {
        switch (kFactors[st]) {
        case 4:
            Stage<4>(xr, xi, yr, yi, n, s, t.twRe[st], t.twIm[st]);
            break;
        case 3:
            Stage<3>(xr, xi, yr, yi, n, s, t.twRe[st], t.twIm[st]);
            break;
        default:
            Stage<5>(xr, xi, yr, yi, n, s, t.twRe[st], t.twIm[st]);
            break;
        }
        n /= kFactors[st];
        s *= kFactors[st];
        float *swapR = xr, *swapI = xi;
        xr = yr, xi = yi, yr = swapR, yi = swapI;
    }
    if (xr != re) {
        for (int k = 0; k < kM; k++)
            re[k] = xr[k], im[k] = xi[k];
    }
}

void EldDct4(const float *in, float *out, float scale) {
    const Tables &t = GetTables();
    float re[kM], im[kM];
    for (int n = 0; n < kM; n++) {
        float a = in[2 * n] * scale, b = in[kN - 1 - 2 * n] * scale;
        re[n] = a * t.preRe[n] - b * t.preIm[n];
        im[n] = a * t.preIm[n] + b * t.preRe[n];
    }
    EldFft240(re, im);
    for (int k = 0; k < kM; k++) {
        float yr = re[k] * t.postRe[k] - im[k] * t.postIm[k];
        float yi = re[k] * t.postIm[k] + im[k] * t.postRe[k];
        out[2 * k] = yr;
        out[kN - 1 - 2 * k] = -yi;
    }
}

// X[k] = -2 sum_j s[j] w[1919 - j] cos(pi/480 (j - 1199.5)(k + 1/2)). The kernel changes sign
// every 960 samples and is even about j = 1199.5, so the windowed block folds to 480
// values and the sum becomes one type-IV cosine transform.
void EldAnalyze(const float *history, float *spectrum) {
    const Tables &t = GetTables();
    float v[kEldWindowLength];
    for (int j = 0; j < kEldHistoryLength; j++)
        v[j] = history[j] * t.reversedWindow[j];
    for (int j = kEldHistoryLength; j < kEldWindowLength; j++)
        v[j] = 0.0f;
    float u[2 * kN];
    for (int j = 0; j < 2 * kN; j++)
        u[j] = v[j] - v[j + 2 * kN];
    float folded[kN];
    for (int n = 0; n < kN / 2; n++)
        folded[n] = -u[n + 240] - u[239 - n];
    for (int n = kN / 2; n < kN; n++)
        folded[n] = u[1199 - n] - u[n + 240];
    EldDct4(folded, spectrum, -2.0f);
}
