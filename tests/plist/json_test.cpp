#include <gtest/gtest.h>

#include <string>

#include "plist_test_util.h"

namespace {

TEST(PlistJson, ObjectWithListOfMixedValues) {
    Owned d(ParseText("{\"a\": 1, \"b\": [true, null, -3, 2.5]}"));
    ASSERT_EQ(CFValueKind(d.get()), kCFDictionary);
    ASSERT_EQ(CFDictionaryCount(d.get()), 2u);
    const CFValue *a = CFDictionaryFindText(d.get(), "a");
    EXPECT_EQ(CFNumberSubtype(a), kCFNumberUnsigned);
    EXPECT_EQ(CFNumberGetInt(a), 1);
    const CFValue *b = CFDictionaryFindText(d.get(), "b");
    ASSERT_EQ(CFArrayCount(b), 4u);
    EXPECT_EQ(CFNumberSubtype(CFArrayGet(b, 0)), kCFNumberBool);
    EXPECT_TRUE(CFNumberGetBool(CFArrayGet(b, 0)));
    EXPECT_EQ(CFValueKind(CFArrayGet(b, 1)), kCFNull);
    EXPECT_EQ(CFNumberSubtype(CFArrayGet(b, 2)), kCFNumberSigned);
    EXPECT_EQ(CFNumberGetInt(CFArrayGet(b, 2)), -3);
    EXPECT_EQ(CFNumberSubtype(CFArrayGet(b, 3)), kCFNumberReal);
    EXPECT_DOUBLE_EQ(CFNumberGetReal(CFArrayGet(b, 3)), 2.5);
}

TEST(PlistJson, TokensAndWords) {
    // No exponents: 1e5 is the number 1 followed by the number 5.
    Owned e(ParseText("[1e5]"));
    ASSERT_EQ(CFArrayCount(e.get()), 2u);
    EXPECT_EQ(CFNumberGetInt(CFArrayGet(e.get(), 0)), 1);
    EXPECT_EQ(CFNumberGetInt(CFArrayGet(e.get(), 1)), 5);
    // Words are known by their first letter and read once.
    Owned words(ParseText("[false, True, NULL, nope]"));
    ASSERT_EQ(CFArrayCount(words.get()), 4u);
    EXPECT_FALSE(CFNumberGetBool(CFArrayGet(words.get(), 0)));
    EXPECT_TRUE(CFNumberGetBool(CFArrayGet(words.get(), 1)));
    EXPECT_EQ(CFValueKind(CFArrayGet(words.get(), 2)), kCFNull);
    EXPECT_EQ(CFValueKind(CFArrayGet(words.get(), 3)), kCFNull);
    Owned nums(ParseText("[4294967298, -0, -, 7., -2147483649, -1.5]"));
    ASSERT_EQ(CFArrayCount(nums.get()), 6u);
    EXPECT_EQ(CFArrayGet(nums.get(), 0)->number.u32, 2u);
    EXPECT_EQ(CFNumberSubtype(CFArrayGet(nums.get(), 1)), kCFNumberUnsigned);
    EXPECT_EQ(CFNumberGetInt(CFArrayGet(nums.get(), 2)), 0);
    EXPECT_EQ(CFNumberSubtype(CFArrayGet(nums.get(), 3)), kCFNumberReal);
    EXPECT_EQ(CFNumberSubtype(CFArrayGet(nums.get(), 4)), kCFNumberSigned);
    EXPECT_EQ(CFNumberGetInt(CFArrayGet(nums.get(), 4)), INT32_MAX) << "low 32 bits kept";
    EXPECT_EQ(CFNumberSubtype(CFArrayGet(nums.get(), 5)), kCFNumberReal);
}

TEST(PlistJson, StringsKeepEscapes) {
    Owned s(ParseText("[\"a\\\"b\"]"));
    ASSERT_EQ(CFArrayCount(s.get()), 1u);
    EXPECT_STREQ(CFStringText(CFArrayGet(s.get(), 0)), "a\\\"b");
    // A doubled backslash does not escape the quote after it.
    Owned d(ParseText("[\"x\\\\\", \"y\"]"));
    ASSERT_EQ(CFArrayCount(d.get()), 2u);
    EXPECT_STREQ(CFStringText(CFArrayGet(d.get(), 0)), "x\\\\");
    EXPECT_STREQ(CFStringText(CFArrayGet(d.get(), 1)), "y");
    Owned top(ParseText("\"\""));
    EXPECT_STREQ(CFStringText(top.get()), "");
    Owned utf8(ParseText("{\"name\": \"Salle à manger 🎵\"}"));
    EXPECT_STREQ(CFStringText(CFDictionaryFindText(utf8.get(), "name")), "Salle à manger 🎵");
}

TEST(PlistJson, TruncatedAndMalformedInput) {
    Owned cut(ParseText("[1, 2"));
    ASSERT_EQ(CFArrayCount(cut.get()), 1u) << "a token cut by the end is dropped";
    Owned open(ParseText("{\"a\": [1, {\"b\": \"unterminated"));
    ASSERT_EQ(CFValueKind(open.get()), kCFDictionary);
    // The inner object meets the end of input and keeps what it read: nothing.
    const CFValue *list = CFDictionaryFindText(open.get(), "a");
    ASSERT_EQ(CFArrayCount(list), 2u);
    EXPECT_EQ(CFDictionaryCount(CFArrayGet(list, 1)), 0u);
    EXPECT_EQ(CFValueKind(CFArrayGet(list, 1)), kCFDictionary);
    Owned lone(ParseText("{\"a\"}"));
    EXPECT_EQ(CFDictionaryCount(lone.get()), 0u) << "a key without a value is dropped";
    Owned closeEarly(ParseText("[}"));
    EXPECT_EQ(CFArrayCount(closeEarly.get()), 0u);
    EXPECT_EQ(ParseText("\"abc"), nullptr);
    // Every prefix of a document parses without trouble.
    std::string doc = "{\"w\": 1280, \"h\": [720, -1.25, \"x\\\"y\", {\"z\": null}], \"t\": true}";
    for (size_t n = 0; n <= doc.size(); n++) {
        Owned part(PlistParseBytes(doc.data(), n));
        if (part.get()) {
            EXPECT_EQ(CFValueKind(part.get()), kCFDictionary);
        }
    }
}

TEST(PlistJson, DeepNestingIsRefused) {
    EXPECT_EQ(ParseText(std::string(100000, '[')), nullptr);
    std::string objects;
    for (int i = 0; i < 100000; i++)
        objects += "{\"k\":";
    EXPECT_EQ(ParseText(objects), nullptr);
    std::string ok = std::string(kPlistMaxDepth, '[') + "7" + std::string(kPlistMaxDepth, ']');
    Owned v(ParseText(ok));
    ASSERT_NE(v.get(), nullptr);
    EXPECT_EQ(ParseText("[" + ok + "]"), nullptr);
}

TEST(PlistJson, ManyDistinctKeys) {
    std::string doc = "{";
    for (int i = 0; i < 50000; i++)
        doc += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    doc += "\"k3\": 33}";
    Owned d(ParseText(doc));
    ASSERT_EQ(CFDictionaryCount(d.get()), 50000u);
    EXPECT_EQ(CFNumberGetInt(CFDictionaryFindText(d.get(), "k3")), 33);
    EXPECT_STREQ(CFStringText(CFDictionaryKeyAt(d.get(), 3)), "k3");
}

} // namespace
