#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "aaceld/eld_filterbank.h"
#include "aaceld/eld_tables.h"

// Direct evaluation of the analysis sum over the whole 1920-sample window.
static std::vector<double> ReferenceAnalysis(const std::vector<float> &s) {
    std::vector<double> x(480);
    for (int k = 0; k < 480; k++) {
        double sum = 0;
        for (int j = 0; j < 1920; j++) {
            sum += s[j] * (double)kEldWindow480[1919 - j] *
                   cos(2.0 * M_PI / 960.0 * (j - 960 - 239.5) * (k + 0.5));
        }
        x[k] = -2.0 * sum;
    }
    return x;
}

TEST(AacEldFilterbank, FftMatchesDirectTransform) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> re(240), im(240);
    for (int i = 0; i < 240; i++)
        re[i] = dist(rng), im[i] = dist(rng);
    std::vector<float> outRe = re, outIm = im;
    EldFft240(outRe.data(), outIm.data());
    double maxErr = 0;
    for (int k = 0; k < 240; k++) {
        double sr = 0, si = 0;
        for (int n = 0; n < 240; n++) {
            double a = -2.0 * M_PI * n * k / 240.0;
            sr += re[n] * cos(a) - im[n] * sin(a);
            si += re[n] * sin(a) + im[n] * cos(a);
        }
        maxErr = std::max(maxErr, std::max(fabs(sr - outRe[k]), fabs(si - outIm[k])));
    }
    EXPECT_LT(maxErr, 1e-3); // values reach ~20; float rounding stays far below this
}

TEST(AacEldFilterbank, AnalysisMatchesWindowedCosineSum) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> dist(-32768.0f, 32767.0f);
    std::vector<float> s(1920);
    for (int j = 0; j < 1800; j++)
        s[j] = dist(rng);
    // The last 120 positions meet zero window taps: whatever they hold must not matter.
    for (int j = 1800; j < 1920; j++)
        s[j] = 1e6f;
    std::vector<double> ref = ReferenceAnalysis(s);
    std::vector<float> x(480);
    EldAnalyze(s.data(), x.data());
    double peak = 0, maxErr = 0;
    for (int k = 0; k < 480; k++) {
        peak = std::max(peak, fabs(ref[k]));
        maxErr = std::max(maxErr, fabs(ref[k] - x[k]));
    }
    EXPECT_GT(peak, 1e5);
    EXPECT_LT(maxErr / peak, 1e-5);
}
