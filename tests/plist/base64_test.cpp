#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "plist/base64.h"

namespace {

std::string Encode(const std::string &bytes) {
    size_t n = 99;
    char *text = Base64Encode(bytes.data(), bytes.size(), &n);
    EXPECT_NE(text, nullptr);
    std::string out(text, n);
    EXPECT_EQ(text[n], '\0');
    free(text);
    return out;
}

std::string Decode(const std::string &text) {
    size_t n = 99;
    uint8_t *bytes = Base64Decode(text.data(), text.size(), &n);
    EXPECT_NE(bytes, nullptr);
    std::string out(reinterpret_cast<char *>(bytes), n);
    free(bytes);
    return out;
}

TEST(Base64, KnownVectors) {
    EXPECT_EQ(Encode(""), "");
    EXPECT_EQ(Encode("a"), "YQ==");
    EXPECT_EQ(Encode("ab"), "YWI=");
    EXPECT_EQ(Encode("abc"), "YWJj");
    EXPECT_EQ(Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(Encode(std::string("\xfb\xff\xfe", 3)), "+//+");
    EXPECT_EQ(Decode("YWJj"), "abc");
    EXPECT_EQ(Decode("YQ=="), "a");
    EXPECT_EQ(Decode("YWI="), "ab");
    EXPECT_EQ(Decode("Zm9vYmFy"), "foobar");
    EXPECT_EQ(Decode(""), "");
}

TEST(Base64, UnpaddedInputIsPadded) {
    EXPECT_EQ(Decode("YQ"), "a");
    EXPECT_EQ(Decode("YWI"), "ab");
    EXPECT_EQ(Decode("Zm9vYg"), "foob");
}

TEST(Base64, RoundTripsEveryLengthAndByte) {
    std::string bytes;
    for (int length = 0; length < 300; length++) {
        ASSERT_EQ(Decode(Encode(bytes)), bytes) << "length " << length;
        bytes += static_cast<char>((length * 131 + 7) & 0xff);
    }
    std::string all;
    for (int i = 0; i < 256; i++)
        all += static_cast<char>(i);
    EXPECT_EQ(Decode(Encode(all)), all);
}

TEST(Base64, BadCharactersReadAsZeroBitsAndStayInBounds) {
    // "*" is outside the alphabet: its six bits are zero.
    EXPECT_EQ(Decode("*WJj"), Decode("AWJj"));
    EXPECT_EQ(Decode("Y Jj"), Decode("YAJj"));
    // A lone character still gives one byte; "=" everywhere gives zeros.
    EXPECT_EQ(Decode("Y").size(), 1u);
    EXPECT_EQ(Decode("====").size(), 1u);
    EXPECT_EQ(Decode("=").size(), 1u);
    // "=" inside the text is read as zero bits, not as an end.
    EXPECT_EQ(Decode("YQ==YWJj").size(), 6u);
    std::string junk;
    for (int i = 0; i < 1000; i++)
        junk += static_cast<char>(i * 37);
    EXPECT_EQ(Decode(junk).size(), junk.size() / 4 * 3 - (junk[999] == '=') - (junk[998] == '='));
    size_t n = 5;
    EXPECT_EQ(Base64Decode(nullptr, 4, &n), nullptr);
    EXPECT_EQ(n, 0u);
}

} // namespace
