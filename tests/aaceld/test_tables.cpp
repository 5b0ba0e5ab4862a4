// The embedded tables: every Huffman codebook is prefix-free and complete, the window and
// band tables have the shape the coder relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "aaceld/eld_tables.h"

static void ExpectPrefixFreeAndComplete(const uint32_t *codes, const uint8_t *bits, int count,
                                        const char *name) {
    SCOPED_TRACE(name);
    std::vector<std::string> words;
    double kraft = 0;
    for (int i = 0; i < count; i++) {
        ASSERT_GE(bits[i], 1);
        ASSERT_LE(bits[i], 19);
        ASSERT_LT(codes[i], 1u << bits[i]) << "code wider than its length, entry " << i;
        std::string w;
        for (int b = bits[i] - 1; b >= 0; b--)
            w += ((codes[i] >> b) & 1) ? '1' : '0';
        words.push_back(w);
        kraft += ldexp(1.0, -bits[i]);
    }
    std::sort(words.begin(), words.end());
    for (size_t i = 0; i + 1 < words.size(); i++) {
        EXPECT_NE(words[i + 1].compare(0, words[i].size(), words[i]), 0)
            << words[i] << " is a prefix of " << words[i + 1];
    }
    // Sum of 2^-length is exactly 1 for a complete code (exact in double for these lengths).
    EXPECT_EQ(kraft, 1.0);
}

TEST(AacEldTables, HuffmanCodebooksArePrefixFreeAndComplete) {
    ExpectPrefixFreeAndComplete(kScalefactorCodes, kScalefactorBits, 121, "scalefactor");
    const int sizes[12] = {0, 81, 81, 81, 81, 81, 81, 64, 64, 169, 169, 289};
    for (int cb = 1; cb <= 11; cb++) {
        const EldHuffmanBook &b = kSpectrumBooks[cb];
        ASSERT_EQ(b.size, sizes[cb]);
        int base = b.isSigned ? 2 * b.lav + 1 : b.lav + 1;
        int expected = 1;
        for (int d = 0; d < b.dimension; d++)
            expected *= base;
        EXPECT_EQ(b.size, expected) << "book " << cb;
        ExpectPrefixFreeAndComplete(b.codes, b.bits, b.size,
                                    ("spectrum " + std::to_string(cb)).c_str());
    }
    EXPECT_EQ(kScalefactorBits[60], 1); // delta 0 is the one-bit code
    EXPECT_EQ(kScalefactorCodes[60], 0u);
}

TEST(AacEldTables, WindowAndBandsHaveTheExpectedShape) {
    for (int n = 0; n < 120; n++)
        ASSERT_EQ(kEldWindow480[n], 0.0f) << n;
    EXPECT_NE(kEldWindow480[120], 0.0f);
    EXPECT_NE(kEldWindow480[1919], 0.0f);
    EXPECT_EQ(kSwbOffset480[0], 0);
    EXPECT_EQ(kSwbOffset480[kEldBandCount], 480);
    for (int b = 0; b < kEldBandCount; b++) {
        int width = kSwbOffset480[b + 1] - kSwbOffset480[b];
        EXPECT_GT(width, 0);
        EXPECT_EQ(width % 4, 0) << "band " << b << " must hold whole quadruples";
    }
}
