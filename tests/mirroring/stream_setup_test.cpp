#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "mirroring/stream_setup.h"
#include "plist/plist.h"

namespace {

// A decoder for just what this list may contain (ASCII strings, arrays, dictionaries,
// one-byte offsets and references), written independently of the constant, so that the
// constant's offsets, markers and lengths are checked, not merely restated.
struct Node {
    std::string text;                 // for strings
    std::vector<Node> items;          // for arrays
    std::map<std::string, Node> dict; // for dictionaries
    char kind = '?';
};

class MiniDecoder {
  public:
    MiniDecoder(const uint8_t *b, size_t n) : b_(b), n_(n) {}
    bool Decode(Node *root) {
        if (n_ < 40 || memcmp(b_, "bplist00", 8) != 0) return Fail("magic");
        const uint8_t *t = b_ + n_ - 32;
        for (int i = 0; i < 6; i++)
            if (t[i]) return Fail("trailer padding");
        if (t[6] != 1 || t[7] != 1) return Fail("sizes");
        count_ = Be64(t + 8);
        uint64_t top = Be64(t + 16);
        table_ = Be64(t + 24);
        if (top != 0 || table_ + count_ != n_ - 32) return Fail("table placement");
        return Object(0, root, 0);
    }
    std::string error;

  private:
    static uint64_t Be64(const uint8_t *p) {
        uint64_t v = 0;
        for (int i = 0; i < 8; i++) v = v << 8 | p[i];
        return v;
    }
    bool Fail(const char *why) {
        error = why;
        return false;
    }
    bool Object(uint64_t index, Node *out, int depth) {
        if (index >= count_ || depth > 4) return Fail("reference");
        size_t at = b_[table_ + index];
        if (at < 8 || at >= table_) return Fail("offset");
        uint8_t marker = b_[at];
        size_t length = marker & 0x0F;
        const uint8_t *body = b_ + at + 1;
        switch (marker >> 4) {
        case 0x5:
            if (at + 1 + length > table_) return Fail("string bounds");
            out->kind = 's';
            out->text.assign((const char *)body, length);
            return true;
        case 0xA:
            out->kind = 'a';
            for (size_t i = 0; i < length; i++) {
                out->items.emplace_back();
                if (!Object(body[i], &out->items.back(), depth + 1)) return false;
            }
            return true;
        case 0xD:
            out->kind = 'd';
            for (size_t i = 0; i < length; i++) {
                Node key, value;
                if (!Object(body[i], &key, depth + 1) || key.kind != 's') return Fail("key");
                if (!Object(body[length + i], &value, depth + 1)) return false;
                out->dict[key.text] = value;
            }
            return true;
        default:
            return Fail("marker");
        }
    }
    const uint8_t *b_;
    size_t n_;
    uint64_t count_ = 0, table_ = 0;
};

std::vector<std::string> Texts(const Node &array) {
    std::vector<std::string> v;
    for (const auto &n : array.items) v.push_back(n.kind == 's' ? n.text : "?");
    return v;
}

TEST(StreamSetupPlistTest, DecodesToTheAnnouncedStreamSettings) {
    Node root;
    MiniDecoder decoder(StreamSetupPlist, kStreamSetupPlistLength);
    ASSERT_TRUE(decoder.Decode(&root)) << decoder.error;
    ASSERT_EQ('d', root.kind);
    EXPECT_EQ(6u, root.dict.size());
    EXPECT_EQ("90", root.dict["latencyMs"].text);
    EXPECT_EQ("0x60C54748E222", root.dict["deviceID"].text);
    EXPECT_EQ((std::vector<std::string>{"SubS", "B4En", "EnDp", "IdEn", "IdDp", "EQDp", "QueF",
                                        "Sent"}),
              Texts(root.dict["fpsInfo"]));
    EXPECT_EQ((std::vector<std::string>{"SubSu", "BePxT", "AfPxT", "BeFEn", "EmEnc", "QueFr",
                                        "SndFr"}),
              Texts(root.dict["timestampInfo"]));
    EXPECT_EQ("691484636", root.dict["sessionId"].text);
    EXPECT_EQ("120.2", root.dict["version"].text);
}

TEST(StreamSetupPlistTest, ObjectsArePackedInOrderWithTheTableAt213) {
    // Every object starts where the previous one ends, and the table follows the last.
    const uint8_t *b = StreamSetupPlist;
    size_t expected = 8;
    for (int i = 0; i < 28; i++) {
        ASSERT_EQ(expected, b[213 + i]) << "object " << i;
        uint8_t marker = b[expected];
        size_t n = marker & 0x0F;
        expected += 1 + ((marker >> 4) == 0xD ? 2 * n : n);
    }
    EXPECT_EQ(213u, expected);
}

TEST(StreamSetupPlistTest, EqualsTheSharedFixtureByteForByte) {
    std::string path = std::string(OSTREL_SOURCE_DIR) + "/tests/plist/data/stream_setup.bplist";
    std::ifstream in(path, std::ios::binary);
    if (!in) GTEST_SKIP() << "fixture not present: " << path;
    std::vector<uint8_t> fixture((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(kStreamSetupPlistLength, fixture.size());
    for (size_t i = 0; i < fixture.size(); i++)
        ASSERT_EQ(fixture[i], StreamSetupPlist[i]) << "byte " << i;
}

TEST(StreamSetupPlistTest, TheProjectsBinaryReaderReadsTheSameDictionary) {
    CFValue *root = PlistParseBytes(StreamSetupPlist, kStreamSetupPlistLength);
    ASSERT_NE(nullptr, root);
    EXPECT_EQ(6u, CFDictionaryCount(root));
    EXPECT_STREQ("0x60C54748E222", CFStringText(CFDictionaryFindText(root, "deviceID")));
    EXPECT_STREQ("691484636", CFStringText(CFDictionaryFindText(root, "sessionId")));
    CFValue *fps = CFDictionaryFindText(root, "fpsInfo");
    ASSERT_EQ(8u, CFArrayCount(fps));
    EXPECT_STREQ("Sent", CFStringText(CFArrayGet(fps, 7)));
    EXPECT_EQ(7u, CFArrayCount(CFDictionaryFindText(root, "timestampInfo")));
    CFValueRelease(root);
}

} // namespace
