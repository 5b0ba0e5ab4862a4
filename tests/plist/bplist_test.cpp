#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "plist_test_util.h"

namespace {

std::vector<uint8_t> ReadFixture(const char *name) {
    std::ifstream in(std::string(PLIST_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

const char *const kFps[] = {"SubS", "B4En", "EnDp", "IdEn", "IdDp", "EQDp", "QueF", "Sent"};
const char *const kStamps[] = {"SubSu", "BePxT", "AfPxT", "BeFEn", "EmEnc", "QueFr", "SndFr"};

void ExpectStrings(const CFValue *array, const char *const *texts, uint32_t n) {
    ASSERT_EQ(CFValueKind(array), kCFArray);
    ASSERT_EQ(CFArrayCount(array), n);
    for (uint32_t i = 0; i < n; i++) {
        EXPECT_EQ(CFValueKind(CFArrayGet(array, i)), kCFString);
        EXPECT_STREQ(CFStringText(CFArrayGet(array, i)), texts[i]);
    }
}

TEST(Bplist, StreamSetupBodyDecodesToItsSixEntries) {
    std::vector<uint8_t> bytes = ReadFixture("stream_setup.bplist");
    ASSERT_EQ(bytes.size(), 273u);
    Owned root(ParseBytes(bytes));
    ASSERT_EQ(CFValueKind(root.get()), kCFDictionary);
    ASSERT_EQ(CFDictionaryCount(root.get()), 6u);
    const char *keys[] = {"latencyMs",     "deviceID",  "fpsInfo",
                          "timestampInfo", "sessionId", "version"};
    for (uint32_t i = 0; i < 6; i++)
        EXPECT_STREQ(CFStringText(CFDictionaryKeyAt(root.get(), i)), keys[i]);
    EXPECT_STREQ(CFStringText(CFDictionaryFindText(root.get(), "latencyMs")), "90");
    EXPECT_STREQ(CFStringText(CFDictionaryFindText(root.get(), "deviceID")), "0x60C54748E222");
    ExpectStrings(CFDictionaryFindText(root.get(), "fpsInfo"), kFps, 8);
    ExpectStrings(CFDictionaryFindText(root.get(), "timestampInfo"), kStamps, 7);
    EXPECT_STREQ(CFStringText(CFDictionaryFindText(root.get(), "sessionId")), "691484636");
    EXPECT_STREQ(CFStringText(CFDictionaryFindText(root.get(), "version")), "120.2");
    // The bytes are read, never changed.
    EXPECT_EQ(ReadFixture("stream_setup.bplist"), bytes);
}

TEST(Bplist, BuilderMatchesTheFixtureLayout) {
    // The builder used by the tests below lays out objects the same way.
    BplistBuilder b;
    b.Add(b.Dictionary({1, 2, 3, 4, 5, 6}, {7, 8, 9, 18, 26, 27}));
    for (const char *t : {"latencyMs", "deviceID", "fpsInfo", "timestampInfo", "sessionId",
                          "version", "90", "0x60C54748E222"})
        b.Add(BplistBuilder::Ascii(t));
    b.Add(b.Container(0xA0, {10, 11, 12, 13, 14, 15, 16, 17}));
    for (const char *t : kFps)
        b.Add(BplistBuilder::Ascii(t));
    b.Add(b.Container(0xA0, {19, 20, 21, 22, 23, 24, 25}));
    for (const char *t : kStamps)
        b.Add(BplistBuilder::Ascii(t));
    b.Add(BplistBuilder::Ascii("691484636"));
    b.Add(BplistBuilder::Ascii("120.2"));
    EXPECT_EQ(b.Build(), ReadFixture("stream_setup.bplist"));
}

std::vector<uint8_t> Minimal(std::vector<uint8_t> root) {
    BplistBuilder b;
    b.Add(std::move(root));
    return b.Build();
}

TEST(Bplist, LengthAndMagic) {
    std::vector<uint8_t> forty = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    forty.resize(40, 0);
    forty[8] = 0x09; // the root sits in the first, unused trailer byte
    Owned root(ParseBytes(forty));
    EXPECT_TRUE(CFNumberGetBool(root.get()));
    EXPECT_EQ(PlistParseBytes(forty.data(), 39), nullptr);
    std::vector<uint8_t> wrong = forty;
    wrong[6] = '1';
    EXPECT_EQ(ParseBytes(wrong), nullptr);
    // The top-object field is ignored: the root is always at offset 8.
    BplistBuilder b;
    b.Add({0x09});
    b.Add({0x08});
    std::vector<uint8_t> bytes = b.Build();
    bytes[bytes.size() - 9] = 1;
    Owned still(ParseBytes(bytes));
    EXPECT_TRUE(CFNumberGetBool(still.get()));
}

TEST(Bplist, ScalarObjects) {
    Owned i8(ParseBytes(Minimal({0x13, 0, 0, 0, 1, 0, 0, 0, 2})));
    EXPECT_EQ(CFNumberSubtype(i8.get()), kCFNumberUnsigned);
    EXPECT_EQ(i8.get()->number.u32, 2u);
    Owned m1(ParseBytes(Minimal({0x13, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})));
    EXPECT_EQ(m1.get()->number.u32, 4294967295u);
    Owned i16(ParseBytes(Minimal({0x14, 9, 9, 9, 9, 9, 9, 9, 9, 0, 0, 0, 0, 0, 0, 1, 4})));
    EXPECT_EQ(i16.get()->number.u32, 260u);
    Owned f(ParseBytes(Minimal({0x22, 0x3f, 0xc0, 0, 0})));
    EXPECT_EQ(CFNumberSubtype(f.get()), kCFNumberReal);
    EXPECT_DOUBLE_EQ(f.get()->number.real, 1.5);
    Owned d(ParseBytes(Minimal({0x23, 0x40, 0x09, 0x21, 0xfb, 0x54, 0x44, 0x2d, 0x18})));
    EXPECT_DOUBLE_EQ(d.get()->number.real, 3.141592653589793);
    EXPECT_EQ(ParseBytes(Minimal({0x21, 0, 0})), nullptr) << "a 2-byte real";
    EXPECT_EQ(ParseBytes(Minimal({0x18, 1, 2, 3, 4, 5, 6, 7, 8})), nullptr);
    std::vector<uint8_t> data = {0x4F, 0x10, 20};
    for (int i = 0; i < 20; i++)
        data.push_back(static_cast<uint8_t>(i * 3));
    Owned blob(ParseBytes(Minimal(data)));
    ASSERT_EQ(CFDataLength(blob.get()), 20u);
    EXPECT_EQ(CFDataBytes(blob.get())[19], 57);
    Owned empty(ParseBytes(Minimal({0x50})));
    EXPECT_STREQ(CFStringText(empty.get()), "");
    Owned f0(ParseBytes(Minimal({0x08})));
    EXPECT_EQ(CFNumberSubtype(f0.get()), kCFNumberBool);
    EXPECT_FALSE(CFNumberGetBool(f0.get()));
    for (uint8_t bad : {0x01, 0x24, 0x30, 0x70, 0x90, 0xB0, 0xE0, 0xFF})
        EXPECT_EQ(ParseBytes(Minimal({bad, 0, 0, 0, 0, 0, 0, 0, 0})), nullptr) << int(bad);
}

TEST(Bplist, PlaceholdersKeepTheDocumentReadable) {
    BplistBuilder b;
    b.Add(b.Container(0xA0, {1, 2, 3, 4, 5}));
    b.Add({0x62, 0, 'h', 0, 'i'});            // UTF-16 string
    b.Add({0x33, 0x41, 0, 0, 0, 0, 0, 0, 0}); // date
    b.Add({0x80, 7});                         // UID
    b.Add({0x00});                            // null
    b.Add({0x0F});                            // fill
    Owned a(ParseBytes(b.Build()));
    const char *expected[] = {"<Unhandled UTF16>", "<Unhandled Date>", "<Unhandled UID>",
                              "<Unhandled Null>", "<Unhandled Fill>"};
    ExpectStrings(a.get(), expected, 5);
    // Sets read as arrays.
    BplistBuilder set;
    set.Add(set.Container(0xC0, {1}));
    set.Add({0x09});
    Owned s(ParseBytes(set.Build()));
    ASSERT_EQ(CFArrayCount(s.get()), 1u);
}

TEST(Bplist, OneUnsupportedObjectFailsTheWhole) {
    BplistBuilder b;
    b.Add(b.Dictionary({1}, {2}));
    b.Add(BplistBuilder::Ascii("k"));
    b.Add(b.Container(0xA0, {3, 4}));
    b.Add(BplistBuilder::Ascii("fine"));
    b.Add({0x70});
    EXPECT_EQ(ParseBytes(b.Build()), nullptr);
}

TEST(Bplist, ReferencesOutOfRangeReadAsPlaceholders) {
    BplistBuilder b;
    b.Add(b.Dictionary({1}, {2})); // the value reference equals the object count
    b.Add(BplistBuilder::Ascii("key"));
    Owned d(ParseBytes(b.Build()));
    ASSERT_EQ(CFDictionaryCount(d.get()), 1u);
    EXPECT_STREQ(CFStringText(CFDictionaryFindText(d.get(), "key")), "<Unhandled UTF16>");
}

TEST(Bplist, RepeatedKeyTakesLaterValue) {
    BplistBuilder b;
    b.Add(b.Dictionary({1, 1}, {2, 3}));
    b.Add(BplistBuilder::Ascii("k"));
    b.Add(BplistBuilder::Ascii("first"));
    b.Add(BplistBuilder::Ascii("second"));
    Owned d(ParseBytes(b.Build()));
    ASSERT_EQ(CFDictionaryCount(d.get()), 1u);
    EXPECT_STREQ(CFStringText(CFDictionaryFindText(d.get(), "k")), "second");
}

TEST(Bplist, WideReferencesAndOffsets) {
    BplistBuilder b;
    b.referenceSize = 2;
    b.offsetSize = 4;
    std::vector<uint64_t> refs;
    for (int i = 1; i <= 300; i++)
        refs.push_back(i);
    b.Add(b.Container(0xA0, refs));
    for (int i = 1; i <= 300; i++)
        b.Add(BplistBuilder::Ascii("s" + std::to_string(i)));
    Owned a(ParseBytes(b.Build()));
    ASSERT_EQ(CFArrayCount(a.get()), 300u);
    EXPECT_STREQ(CFStringText(CFArrayGet(a.get(), 299)), "s300");
}

// ---- Hostile input ----

double SecondsFor(const std::vector<uint8_t> &bytes, CFValue **result) {
    auto start = std::chrono::steady_clock::now();
    *result = ParseBytes(bytes);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(BplistHostile, CyclesAreRefused) {
    BplistBuilder self;
    self.Add(self.Container(0xA0, {0}));
    EXPECT_EQ(ParseBytes(self.Build()), nullptr);
    BplistBuilder twice;
    twice.Add(twice.Container(0xA0, {0, 0}));
    EXPECT_EQ(ParseBytes(twice.Build()), nullptr);
    BplistBuilder mutual;
    mutual.Add(mutual.Dictionary({1}, {2}));
    mutual.Add(BplistBuilder::Ascii("k"));
    mutual.Add(mutual.Container(0xA0, {3, 0}));
    mutual.Add({0x09});
    EXPECT_EQ(ParseBytes(mutual.Build()), nullptr);
    // A zero-byte reference always names object 0, the root itself.
    BplistBuilder zero;
    zero.referenceSize = 0;
    zero.Add({0xA3});
    EXPECT_EQ(ParseBytes(zero.Build()), nullptr);
}

TEST(BplistHostile, SharedSubtreesExpandWithinBudget) {
    // Level i is an array holding level i + 1 twice; the last level is a string.
    auto doubling = [](int levels) {
        BplistBuilder b;
        for (int i = 0; i < levels; i++)
            b.Add(b.Container(0xA0, {static_cast<uint64_t>(i + 1), static_cast<uint64_t>(i + 1)}));
        b.Add(BplistBuilder::Ascii("leaf"));
        return b.Build();
    };
    // Ten levels expand to 1024 leaves: a legitimate, if wasteful, document.
    CFValue *small = nullptr;
    SecondsFor(doubling(10), &small);
    Owned keep(small);
    ASSERT_NE(small, nullptr);
    const CFValue *walk = small;
    for (int i = 0; i < 10; i++) {
        ASSERT_EQ(CFArrayCount(walk), 2u);
        EXPECT_NE(CFArrayGet(walk, 0), CFArrayGet(walk, 1)) << "each reference is a copy";
        walk = CFArrayGet(walk, 1);
    }
    EXPECT_STREQ(CFStringText(walk), "leaf");
    // Thirty levels would be a billion values: refused, and quickly.
    CFValue *huge = nullptr;
    double seconds = SecondsFor(doubling(30), &huge);
    EXPECT_EQ(huge, nullptr);
    EXPECT_LT(seconds, 20.0) << "bounded by the value budget";
}

TEST(BplistHostile, DeepChainsStopAtTheDepthLimit) {
    auto chain = [](uint32_t levels) {
        BplistBuilder b;
        b.referenceSize = 2;
        b.offsetSize = 2;
        for (uint32_t i = 0; i < levels; i++)
            b.Add(b.Container(0xA0, {i + 1}));
        b.Add({0x09});
        return b.Build();
    };
    Owned ok(ParseBytes(chain(kPlistMaxDepth)));
    ASSERT_NE(ok.get(), nullptr);
    EXPECT_EQ(ParseBytes(chain(kPlistMaxDepth + 1)), nullptr);
    EXPECT_EQ(ParseBytes(chain(20000)), nullptr);
}

TEST(BplistHostile, HugeDeclaredCountsAndOffsets) {
    // Counts far beyond the block.
    EXPECT_EQ(ParseBytes(Minimal({0xAF, 0x13, 0x40, 0, 0, 0, 0, 0, 0, 0, 1})), nullptr);
    EXPECT_EQ(ParseBytes(Minimal({0xDF, 0x13, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})),
              nullptr);
    EXPECT_EQ(ParseBytes(Minimal({0x4F, 0x13, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})),
              nullptr);
    EXPECT_EQ(ParseBytes(Minimal({0x5F, 0x12, 0, 0, 1, 0, 'a'})), nullptr);
    EXPECT_EQ(ParseBytes(Minimal({0x5F, 0x1F})), nullptr) << "a 32 KiB count field";
    // Offsets and the offset table far outside the block.
    BplistBuilder far;
    far.Add(far.Container(0xA0, {1}));
    far.Add({0x09});
    far.tableStartOverride = UINT64_MAX - 3;
    EXPECT_EQ(ParseBytes(far.Build()), nullptr);
    BplistBuilder count;
    count.Add(count.Container(0xA0, {1}));
    count.Add({0x09});
    count.objectCountOverride = uint64_t{1} << 62;
    count.referenceSize = 1;
    std::vector<uint8_t> bytes = count.Build();
    Owned fine(ParseBytes(bytes));
    EXPECT_EQ(CFArrayCount(fine.get()), 1u) << "a large count alone harms nothing";
    bytes[9] = 200; // the reference now names an offset-table entry past the end
    EXPECT_EQ(ParseBytes(bytes), nullptr);
    BplistBuilder offsets;
    offsets.offsetSize = 8;
    offsets.Add(offsets.Container(0xA0, {1}));
    offsets.Add({0x09});
    std::vector<uint8_t> o = offsets.Build();
    size_t entry1 = o.size() - 32 - 8;
    for (size_t i = 0; i < 8; i++)
        o[entry1 + i] = 0xff;
    EXPECT_EQ(ParseBytes(o), nullptr);
    // Wider-than-8-byte references: only the last 8 bytes count.
    BplistBuilder wide;
    wide.referenceSize = 12;
    wide.Add(wide.Container(0xA0, {1}));
    wide.Add({0x09});
    std::vector<uint8_t> w = wide.Build();
    for (int i = 0; i < 4; i++)
        w[9 + i] = 0xAB;
    Owned wideRoot(ParseBytes(w));
    ASSERT_EQ(CFArrayCount(wideRoot.get()), 1u);
    EXPECT_TRUE(CFNumberGetBool(CFArrayGet(wideRoot.get(), 0)));
}

TEST(BplistHostile, ZeroByteReferencesWithHugeCount) {
    // Object 0 is a string, object 1 the array at offset 8 must be the root, so build by
    // hand: root array at 8 with 2^40 zero-byte references, each naming object 0 whose
    // offset-table entry points at a string.
    std::vector<uint8_t> bytes = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    bytes.insert(bytes.end(), {0xAF, 0x13, 0, 0, 1, 0, 0, 0, 0, 0}); // offset 8
    size_t stringAt = bytes.size();
    bytes.insert(bytes.end(), {0x51, 'x'});
    size_t table = bytes.size();
    bytes.push_back(static_cast<uint8_t>(stringAt));
    std::vector<uint8_t> trailer(32, 0);
    trailer[6] = 1;
    trailer[7] = 0;
    trailer[15] = 1;
    trailer[31] = static_cast<uint8_t>(table);
    bytes.insert(bytes.end(), trailer.begin(), trailer.end());
    CFValue *result = nullptr;
    double seconds = SecondsFor(bytes, &result);
    EXPECT_EQ(result, nullptr);
    EXPECT_LT(seconds, 20.0);
    // With a modest count the same layout is a valid list of shared strings.
    bytes[8 + 2 + 2] = 0;
    bytes[8 + 2 + 7] = 5;
    Owned five(ParseBytes(bytes));
    ASSERT_EQ(CFArrayCount(five.get()), 5u);
    EXPECT_STREQ(CFStringText(CFArrayGet(five.get(), 4)), "x");
}

TEST(BplistHostile, TruncatedAndCorruptedFixture) {
    std::vector<uint8_t> bytes = ReadFixture("stream_setup.bplist");
    ASSERT_EQ(bytes.size(), 273u);
    Owned whole(ParseBytes(bytes));
    for (size_t n = 0; n < bytes.size(); n++) {
        Owned part(PlistParseBytes(bytes.data(), n));
        if (n < 40) {
            EXPECT_EQ(part.get(), nullptr) << n;
        }
        // Cut lists lose their trailer, so whatever they give is not the original.
        EXPECT_FALSE(CFValueTreeEqual(part.get(), whole.get())) << n;
    }
    // Every single-byte change either still parses or gives no value; nothing reads
    // outside the block (checked by the sanitizer builds).
    int parsed = 0;
    for (size_t i = 0; i < bytes.size(); i++) {
        for (int delta : {1, 0x80, 0xff}) {
            std::vector<uint8_t> changed = bytes;
            changed[i] = static_cast<uint8_t>(changed[i] + delta);
            Owned v(ParseBytes(changed));
            if (v.get()) parsed++;
        }
    }
    EXPECT_GT(parsed, 0);
}

} // namespace
