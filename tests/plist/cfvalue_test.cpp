#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/log.h"
#include "plist/cfvalue.h"
#include "tests/support/log_capture.h"

namespace {

// Releases a value at the end of a scope.
struct Owned {
    CFValue *v;
    explicit Owned(CFValue *value) : v(value) {}
    ~Owned() { CFValueRelease(v); }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    CFValue *get() const { return v; }
};

TEST(CFValueStrings, FromBytesMeasuresOrCopiesExactly) {
    Owned abc(CFStringFromBytes("abc", 0));
    EXPECT_STREQ(CFStringText(abc.get()), "abc");
    EXPECT_EQ(CFStringLength(abc.get()), 3u);
    Owned empty(CFStringFromBytes("", 0));
    EXPECT_STREQ(CFStringText(empty.get()), "");
    Owned two(CFStringFromBytes("abcdef", 2));
    EXPECT_STREQ(CFStringText(two.get()), "ab");
    EXPECT_EQ(CFStringFromBytes(nullptr, 3), nullptr);
    EXPECT_STREQ(CFStringText(nullptr), "(null)");
    Owned number(CFNumberFromUnsigned(1));
    EXPECT_STREQ(CFStringText(number.get()), "(null)");
}

TEST(CFValueStrings, FormatTurnsFinalLineFeedIntoCrLf) {
    Owned a(CFStringFromFormat("a\n"));
    EXPECT_STREQ(CFStringText(a.get()), "a\r\n");
    Owned crlf(CFStringFromFormat("a\r\n"));
    EXPECT_STREQ(CFStringText(crlf.get()), "a\r\n");
    Owned lone(CFStringFromFormat("\n"));
    EXPECT_STREQ(CFStringText(lone.get()), "\n");
    Owned formatted(CFStringFromFormat("%s=%d", "width", 1280));
    EXPECT_STREQ(CFStringText(formatted.get()), "width=1280");
    // Too long for the line-end rule: left alone and cut at 4095 bytes.
    std::string longText(5000, 'x');
    Owned cut(CFStringFromFormat("%s\n", longText.c_str()));
    EXPECT_EQ(CFStringLength(cut.get()), 4095u);
}

TEST(CFValueStrings, AppendGrowsAndKeepsTerminator) {
    Owned s(CFStringFromBytes("ab", 0));
    CFStringAppendText(s.get(), "cdef", 2);
    EXPECT_STREQ(CFStringText(s.get()), "abcd");
    CFStringAppendText(s.get(), "x\0yz", 4); // stops at the NUL
    EXPECT_STREQ(CFStringText(s.get()), "abcdx");
    EXPECT_EQ(s.get()->string.capacity, 1026u); // 2 + the excess rounded up to 1 KiB
    std::string expected = "abcdx";
    for (int i = 0; i < 3000; i++) {
        CFStringAppendText(s.get(), "0123456789", 0);
        expected += "0123456789";
    }
    EXPECT_EQ(CFStringLength(s.get()), expected.size());
    EXPECT_EQ(std::string(CFStringText(s.get())), expected);
    EXPECT_GE(s.get()->string.capacity, expected.size() + 1);
}

TEST(CFValueStrings, ReplaceRange) {
    Owned s(CFStringFromBytes("hello world", 0));
    ASSERT_EQ(CFStringReplaceRange(s.get(), 6, 5, "there, friend"), 1);
    EXPECT_STREQ(CFStringText(s.get()), "hello there, friend");
    ASSERT_EQ(CFStringReplaceRange(s.get(), 0, 6, ""), 1);
    EXPECT_STREQ(CFStringText(s.get()), "there, friend");
    EXPECT_EQ(CFStringLength(s.get()), 13u);
    ASSERT_EQ(CFStringReplaceRange(s.get(), 13, 0, "!"), 1);
    EXPECT_STREQ(CFStringText(s.get()), "there, friend!");
    // Out of range: nothing changes.
    EXPECT_EQ(CFStringReplaceRange(s.get(), 10, 10, "x"), 0);
    EXPECT_EQ(CFStringReplaceRange(s.get(), -1, 1, "x"), 0);
    EXPECT_STREQ(CFStringText(s.get()), "there, friend!");
}

TEST(CFValueStrings, WideTextToUtf8) {
    const char16_t text[] = {u'A', 0x00E9, 0x20AC, 0xD83D, 0xDE00, 0};
    Owned s(CFStringFromWide(text));
    EXPECT_STREQ(CFStringText(s.get()), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    Owned ascii(CFStringAsciiFromWide(text));
    EXPECT_STREQ(CFStringText(ascii.get()), "A");
    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    Owned replaced(CFStringFromWide(lone));
    EXPECT_STREQ(CFStringText(replaced.get()), "a\xEF\xBF\xBD"
                                               "b");
    EXPECT_EQ(CFStringFromWide(nullptr), nullptr);
}

TEST(CFValueData, AppendAndGrowth) {
    const uint8_t bytes[] = {1, 2, 3};
    Owned d(CFDataFromBytes(bytes, 3));
    EXPECT_EQ(d.get()->data.capacity, 3u);
    CFDataAppendBytes(d.get(), bytes, 2);
    EXPECT_EQ(CFDataLength(d.get()), 5u);
    EXPECT_EQ(d.get()->data.capacity, 3u + 1024u);
    const uint8_t expected[] = {1, 2, 3, 1, 2};
    EXPECT_EQ(memcmp(CFDataBytes(d.get()), expected, 5), 0);
    Owned empty(CFDataFromBytes(nullptr, 0));
    EXPECT_EQ(CFDataLength(empty.get()), 0u);
    EXPECT_EQ(CFDataFromBytes(nullptr, 4), nullptr);
}

TEST(CFValueData, FromFile) {
    char path[] = "/tmp/ostrel-plist-test-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(CFDataFromFile(path), nullptr) << "an empty file gives no value";
    std::string content;
    for (int i = 0; i < 5000; i++)
        content += static_cast<char>(i * 7);
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    Owned d(CFDataFromFile(path));
    ASSERT_NE(d.get(), nullptr);
    ASSERT_EQ(CFDataLength(d.get()), content.size());
    EXPECT_EQ(memcmp(CFDataBytes(d.get()), content.data(), content.size()), 0);
    unlink(path);
    EXPECT_EQ(CFDataFromFile(path), nullptr);
    EXPECT_EQ(CFDataFromFile("/tmp"), nullptr);
    EXPECT_EQ(CFDataFromFile(nullptr), nullptr);
}

TEST(CFValueCounting, RetainReleaseAndNestedOwnership) {
    CFValue *s = CFStringFromBytes("x", 0);
    CFValue *a = CFArrayNew(0);
    CFArrayPush(a, s);
    EXPECT_EQ(s->refCount, 2);
    EXPECT_EQ(CFValueRelease(s), 1); // the array keeps it alive
    CFValueRetain(a);
    EXPECT_EQ(CFValueRelease(a), 1);
    EXPECT_STREQ(CFStringText(CFArrayGet(a, 0)), "x");
    EXPECT_EQ(CFValueRelease(a), 0); // frees the array and the string (checked by ASan builds)
    EXPECT_EQ(CFValueRelease(nullptr), 0);
    EXPECT_EQ(CFValueRetain(nullptr), nullptr);
}

TEST(CFValueCounting, ConstantsAreSharedAndNeverFreed) {
    CFValue *a = CFStringConstant("AppName");
    CFValue *b = CFStringConstant("AppName");
    EXPECT_EQ(a, b);
    EXPECT_NE(a, CFStringConstant("WindowName"));
    EXPECT_EQ(a->refCount, 0);
    CFValueRetain(a);
    EXPECT_EQ(CFValueRelease(a), 0);
    EXPECT_EQ(CFValueRelease(a), 0);
    EXPECT_STREQ(CFStringText(a), "AppName");
}

TEST(CFValueCounting, ConstantsFromManyThreadsGiveOneRecordPerText) {
    constexpr int kThreads = 8, kTexts = 64;
    std::vector<std::vector<CFValue *>> seen(kThreads, std::vector<CFValue *>(kTexts));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t, &seen] {
            for (int i = 0; i < kTexts; i++) {
                char text[32];
                snprintf(text, sizeof text, "threaded-key-%d", (i * 7 + t) % kTexts);
                CFValue *c = CFStringConstant(text);
                // Keys are put into dictionaries from every thread.
                CFValue *d = CFDictionaryNew(1);
                CFDictionaryPut(d, c, c);
                CFValueRelease(d);
                seen[t][(i * 7 + t) % kTexts] = c;
            }
        });
    }
    for (auto &th : threads)
        th.join();
    for (int i = 0; i < kTexts; i++) {
        for (int t = 1; t < kThreads; t++)
            EXPECT_EQ(seen[t][i], seen[0][i]);
        char text[32];
        snprintf(text, sizeof text, "threaded-key-%d", i);
        EXPECT_STREQ(CFStringText(seen[0][i]), text);
    }
}

// The connection's host, password and device id are held by one thread while connection
// threads take and drop references of their own: no reference may be lost or counted twice.
TEST(CFValueCounting, CountsHoldWhileThreadsRetainAndReleaseTogether) {
    constexpr int kThreads = 4, kRounds = 250000, kRepeats = 8;
    CFValue *shared = CFStringFromBytes("192.168.1.20", 0);
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    auto run = [&](bool retain) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++) {
            threads.emplace_back([&, retain] {
                ready.fetch_add(1);
                while (!go.load()) std::this_thread::yield();
                for (int i = 0; i < kRounds; i++) {
                    if (retain) CFValueRetain(shared);
                    else CFValueRelease(shared);
                }
            });
        }
        // Every thread starts at once, so their updates overlap.
        while (ready.load() < kThreads) std::this_thread::yield();
        go.store(true);
        for (auto &th : threads)
            th.join();
        ready.store(0);
        go.store(false);
    };
    // Threads that happen not to overlap prove nothing: several rounds.
    for (int repeat = 0; repeat < kRepeats; repeat++) {
        run(true);
        // A lost release in the next phase would free the string under the other threads.
        ASSERT_EQ(shared->refCount, 1 + kThreads * kRounds) << "references were lost";
        run(false);
        ASSERT_EQ(shared->refCount, 1) << "references were counted twice";
    }
    EXPECT_STREQ(CFStringText(shared), "192.168.1.20");
    EXPECT_EQ(CFValueRelease(shared), 0);
}

TEST(CFValueEquality, NumbersAcrossSubtypes) {
    Owned u7(CFNumberFromUnsigned(7)), r79(CFNumberFromReal(7.9)), r7(CFNumberFromReal(7.0));
    Owned t(CFNumberFromBool(1)), f(CFNumberFromBool(0)), nan(CFNumberFromReal(NAN));
    Owned nan2(CFNumberFromReal(NAN)), umax(CFNumberFromUnsigned(4294967295u));
    Owned sm1(CFNumberFromSigned(-1)), u0(CFNumberFromUnsigned(0)), rm1(CFNumberFromReal(-1.5));
    EXPECT_TRUE(CFValueEqual(u7.get(), r79.get()));
    EXPECT_FALSE(CFValueEqual(r79.get(), u7.get()));
    EXPECT_TRUE(CFValueEqual(r7.get(), u7.get()));
    EXPECT_TRUE(CFValueEqual(t.get(), nan.get()));
    EXPECT_TRUE(CFValueEqual(nan.get(), t.get()));
    EXPECT_FALSE(CFValueEqual(nan.get(), nan2.get()));
    EXPECT_FALSE(CFValueEqual(u7.get(), nan.get()));
    EXPECT_TRUE(CFValueEqual(umax.get(), sm1.get()));
    EXPECT_TRUE(CFValueEqual(sm1.get(), umax.get()));
    EXPECT_TRUE(CFValueEqual(sm1.get(), rm1.get())) << "-1.5 truncates to -1";
    EXPECT_FALSE(CFValueEqual(rm1.get(), sm1.get()));
    EXPECT_TRUE(CFValueEqual(umax.get(), rm1.get())) << "-1.5 truncates to the pattern of -1";
    EXPECT_TRUE(CFValueEqual(u7.get(), t.get()));
    EXPECT_TRUE(CFValueEqual(u0.get(), f.get()));
    EXPECT_FALSE(CFValueEqual(u0.get(), t.get()));
    Owned big(CFNumberFromReal(1e300));
    EXPECT_FALSE(CFValueEqual(u0.get(), big.get()));
}

TEST(CFValueEquality, StringsDataAndContainers) {
    Owned s1(CFStringFromBytes("ab", 0)), s2(CFStringFromBytes("ab", 0));
    Owned s3(CFStringFromBytes("AB", 0)), d1(CFDataFromBytes("ab", 2));
    Owned d2(CFDataFromBytes("ab", 2)), e1(CFDataFromBytes(nullptr, 0));
    Owned e2(CFDataFromBytes(nullptr, 0)), a1(CFArrayNew(0)), a2(CFArrayNew(0));
    EXPECT_TRUE(CFValueEqual(s1.get(), s2.get()));
    EXPECT_FALSE(CFValueEqual(s1.get(), s3.get()));
    EXPECT_FALSE(CFValueEqual(s1.get(), d1.get()));
    EXPECT_TRUE(CFValueEqual(d1.get(), d2.get()));
    EXPECT_TRUE(CFValueEqual(e1.get(), e2.get()));
    EXPECT_FALSE(CFValueEqual(a1.get(), a2.get()));
    EXPECT_TRUE(CFValueEqual(a1.get(), a1.get()));
    EXPECT_TRUE(CFValueEqual(nullptr, nullptr));
    EXPECT_FALSE(CFValueEqual(s1.get(), nullptr));
    EXPECT_TRUE(CFValueTreeEqual(a1.get(), a2.get()));
    // Strings compare up to their terminator, not by stored length.
    Owned withNul(CFStringFromBytes("ab\0c", 4));
    EXPECT_TRUE(CFValueEqual(withNul.get(), s1.get()));
}

TEST(CFValueDictionary, PutKeepsFirstKeyAndReplacesValue) {
    Owned d(CFDictionaryNew(0));
    CFValue *k1 = CFStringFromBytes("width", 0);
    CFValue *k2 = CFStringFromBytes("width", 0);
    CFValue *v1 = CFNumberFromUnsigned(1280);
    CFValue *v2 = CFNumberFromUnsigned(1920);
    CFDictionaryPut(d.get(), v1, k1);
    CFDictionaryPut(d.get(), v2, k2);
    EXPECT_EQ(CFDictionaryCount(d.get()), 1u);
    EXPECT_EQ(CFDictionaryKeyAt(d.get(), 0), k1);
    EXPECT_EQ(CFDictionaryFind(d.get(), k2), v2);
    EXPECT_EQ(k1->refCount, 2);
    EXPECT_EQ(k2->refCount, 1) << "the second key is not kept";
    EXPECT_EQ(v1->refCount, 1) << "the replaced value is released";
    CFDictionaryPut(d.get(), v2, k1);
    EXPECT_EQ(v2->refCount, 2) << "putting the same value again changes no count";
    for (CFValue *v : {k1, k2, v1, v2})
        CFValueRelease(v);
    EXPECT_STREQ(CFStringText(CFDictionaryKeyAt(d.get(), 0)), "width");
}

TEST(CFValueDictionary, FindUsesLeafEqualityAndGrowsInSteps) {
    Owned d(CFDictionaryNew(0));
    Owned key(CFNumberFromReal(3.5)), value(CFStringFromBytes("found", 0));
    CFDictionaryPut(d.get(), value.get(), key.get());
    Owned three(CFNumberFromUnsigned(3));
    EXPECT_EQ(CFDictionaryFind(d.get(), three.get()), value.get());
    EXPECT_EQ(d.get()->dictionary.capacity, 8u);
    for (int i = 0; i < 20; i++) {
        char text[16];
        snprintf(text, sizeof text, "k%d", i);
        Owned n(CFNumberFromSigned(i));
        CFDictionaryPutText(d.get(), n.get(), text);
    }
    EXPECT_EQ(CFDictionaryCount(d.get()), 21u);
    EXPECT_EQ(d.get()->dictionary.capacity, 24u);
    EXPECT_EQ(CFNumberGetInt(CFDictionaryFindText(d.get(), "k17")), 17);
    EXPECT_EQ(CFDictionaryFindText(d.get(), "missing"), nullptr);
    EXPECT_EQ(CFDictionaryFind(nullptr, key.get()), nullptr);
    Owned empty(CFDictionaryNew(0));
    EXPECT_EQ(CFDictionaryFind(empty.get(), key.get()), nullptr);
}

TEST(CFValueNumbers, Readings) {
    Owned s42(CFStringFromBytes("  42abc", 0)), neg(CFNumberFromReal(-2.7));
    Owned s0(CFStringFromBytes("0", 0)), s7(CFStringFromBytes("7", 0));
    Owned big(CFNumberFromReal(1e20)), nan(CFNumberFromReal(NAN));
    Owned t(CFNumberFromBool(1)), arr(CFArrayNew(0)), um(CFNumberFromUnsigned(4294967295u));
    EXPECT_EQ(CFNumberGetInt(s42.get()), 42);
    EXPECT_EQ(CFNumberGetInt(neg.get()), -2);
    EXPECT_FALSE(CFNumberGetBool(s0.get()));
    EXPECT_TRUE(CFNumberGetBool(s7.get()));
    EXPECT_EQ(CFNumberGetInt(big.get()), INT32_MAX);
    EXPECT_EQ(CFNumberGetInt(nan.get()), 0);
    EXPECT_TRUE(CFNumberGetBool(nan.get()));
    EXPECT_EQ(CFNumberGetInt(t.get()), 1);
    EXPECT_EQ(CFNumberGetInt(arr.get()), 0);
    EXPECT_FALSE(CFNumberGetBool(arr.get()));
    EXPECT_EQ(CFNumberGetInt(nullptr), 0);
    EXPECT_EQ(CFNumberGetInt(um.get()), -1);
    EXPECT_DOUBLE_EQ(CFNumberGetReal(um.get()), 4294967295.0);
}

TEST(CFValueCopy, DeepAndDistinct) {
    Owned a(CFArrayNew(5));
    for (const char *t : {"one", "two", "three"}) {
        Owned s(CFStringFromBytes(t, 0));
        CFArrayPush(a.get(), s.get());
    }
    CFArrayPush(a.get(), nullptr);
    Owned copy(CFValueCopy(a.get()));
    ASSERT_EQ(CFArrayCount(copy.get()), 3u) << "a null element is skipped";
    EXPECT_EQ(copy.get()->array.capacity, 5u);
    for (uint32_t i = 0; i < 3; i++) {
        EXPECT_NE(CFArrayGet(copy.get(), i), CFArrayGet(a.get(), i));
        EXPECT_TRUE(CFValueEqual(CFArrayGet(copy.get(), i), CFArrayGet(a.get(), i)));
    }
    Owned d(CFDictionaryNew(2));
    for (const char *k : {"zeta", "alpha", "mid"}) {
        Owned key(CFStringFromBytes(k, 0));
        Owned inner(CFValueCopy(a.get()));
        CFDictionaryPut(d.get(), inner.get(), key.get());
    }
    Owned range(CFRangeNew(3, 9)), pointer(CFPointerNew(0x1234)), null(CFNullNew());
    CFDictionaryPutText(d.get(), range.get(), "range");
    CFDictionaryPutText(d.get(), pointer.get(), "pointer");
    CFDictionaryPutText(d.get(), null.get(), "null");
    Owned dcopy(CFValueCopy(d.get()));
    ASSERT_TRUE(CFValueTreeEqual(d.get(), dcopy.get()));
    EXPECT_STREQ(CFStringText(CFDictionaryKeyAt(dcopy.get(), 0)), "zeta");
    EXPECT_STREQ(CFStringText(CFDictionaryKeyAt(dcopy.get(), 2)), "mid");
    // Changing the copy leaves the source alone.
    CFStringAppendText(CFArrayGet(CFDictionaryValueAt(dcopy.get(), 0), 0), "!", 0);
    EXPECT_STREQ(CFStringText(CFArrayGet(CFDictionaryValueAt(d.get(), 0), 0)), "one");
    EXPECT_FALSE(CFValueTreeEqual(d.get(), dcopy.get()));
    int32_t location = 0, length = 0;
    EXPECT_TRUE(CFRangeGet(CFDictionaryFindText(dcopy.get(), "range"), &location, &length));
    EXPECT_EQ(location, 3);
    EXPECT_EQ(length, 9);
    uintptr_t word = 0;
    EXPECT_TRUE(CFPointerGet(CFDictionaryFindText(dcopy.get(), "pointer"), &word));
    EXPECT_EQ(word, 0x1234u);
    EXPECT_EQ(CFValueCopy(nullptr), nullptr);
}

std::vector<std::string> Texts(const CFValue *array) {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < CFArrayCount(array); i++) {
        const CFValue *e = CFArrayGet(array, i);
        out.push_back(CFValueIsKind(e, kCFString) ? CFStringText(e) : "#");
    }
    return out;
}

TEST(CFValueSort, ByTextCaseInsensitive) {
    Owned a(CFArrayNew(0));
    for (const char *t : {"b", "A", "c"}) {
        Owned s(CFStringFromBytes(t, 0));
        CFArrayPush(a.get(), s.get());
    }
    CFArraySortByText(a.get(), 0, 2);
    EXPECT_EQ(Texts(a.get()), (std::vector<std::string>{"A", "b", "c"}));
}

TEST(CFValueSort, MatchesReferenceOnManyInputs) {
    // Pseudo-random lists, with duplicates and mixed case, sorted over random spans.
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245 + 12345;
        return seed >> 8;
    };
    for (int round = 0; round < 200; round++) {
        Owned a(CFArrayNew(0));
        std::vector<std::string> ref;
        int n = 1 + next() % 40;
        for (int i = 0; i < n; i++) {
            std::string t;
            for (int k = 0, len = 1 + next() % 3; k < len; k++)
                t += static_cast<char>((next() % 2 ? 'a' : 'A') + next() % 4);
            Owned s(CFStringFromBytes(t.c_str(), 0));
            CFArrayPush(a.get(), s.get());
            ref.push_back(t);
        }
        uint32_t first = next() % n, last = first + next() % (n - first);
        CFArraySortByText(a.get(), first, last);
        std::vector<std::string> got = Texts(a.get());
        auto fold = [](std::string s) {
            for (char &c : s)
                c = static_cast<char>(tolower(c));
            return s;
        };
        for (uint32_t i = 0; i < first; i++)
            EXPECT_EQ(got[i], ref[i]);
        for (uint32_t i = last + 1; i < static_cast<uint32_t>(n); i++)
            EXPECT_EQ(got[i], ref[i]);
        for (uint32_t i = first; i < last; i++)
            EXPECT_LE(fold(got[i]), fold(got[i + 1]));
        std::vector<std::string> a1(ref.begin() + first, ref.begin() + last + 1);
        std::vector<std::string> a2(got.begin() + first, got.begin() + last + 1);
        std::sort(a1.begin(), a1.end());
        std::sort(a2.begin(), a2.end());
        EXPECT_EQ(a1, a2) << "sorting keeps the same elements";
    }
}

TEST(CFValueSort, ByKeyAndIndicesClamped) {
    Owned a(CFArrayNew(0));
    for (const char *name :
         std::initializer_list<const char *>{"Terminal", "browser", "Editor", nullptr}) {
        Owned d(CFDictionaryNew(1));
        if (name) {
            Owned s(CFStringFromBytes(name, 0));
            CFDictionaryPutText(d.get(), s.get(), "AppName");
        }
        CFArrayPush(a.get(), d.get());
    }
    CFArraySortByKey(a.get(), 0, 1000, CFStringConstant("AppName"));
    std::vector<std::string> names;
    for (uint32_t i = 0; i < CFArrayCount(a.get()); i++) {
        const CFValue *n = CFDictionaryFindText(CFArrayGet(a.get(), i), "AppName");
        names.push_back(n ? CFStringText(n) : "-");
    }
    // The element without the key never compares greater, so it stays in front.
    EXPECT_EQ(names, (std::vector<std::string>{"-", "browser", "Editor", "Terminal"}));
}

TEST(CFValueDescribe, PiecesAndShapes) {
    {
        LogCapture log;
        Owned t(CFNumberFromBool(1));
        CFValueDescribe(t.get(), 0);
        EXPECT_EQ(log.Pieces(), (std::vector<std::string>{"true", "\n"}));
    }
    {
        LogCapture log;
        Owned a(CFArrayNew(0));
        CFValueDescribe(a.get(), 0);
        EXPECT_EQ(log.Pieces(), (std::vector<std::string>{"Array (\r\n", ")", "\n"}));
    }
    {
        LogCapture log;
        const uint8_t bytes[] = {0x01, 0xff};
        Owned d(CFDataFromBytes(bytes, 2));
        CFValueDescribe(d.get(), 0);
        EXPECT_EQ(log.Text(), "<Data(2)>: 0x01ff\n");
    }
    {
        LogCapture log;
        Owned d(CFDictionaryNew(1));
        Owned w(CFNumberFromUnsigned(1280));
        CFDictionaryPutText(d.get(), w.get(), "width");
        CFValueDescribe(d.get(), 0);
        EXPECT_EQ(log.Text(), "Dictionary {\r\n  width  =>  1280,\r\n}\n");
    }
}

TEST(CFValueDescribe, NestedValuesToWriter) {
    Owned d(CFDictionaryNew(1));
    Owned inner(CFArrayNew(0));
    Owned r(CFNumberFromReal(1.5)), s(CFNumberFromSigned(-2)), range(CFRangeNew(1, 2));
    Owned p(CFPointerNew(9)), null(CFNullNew());
    for (CFValue *v : {r.get(), s.get(), range.get(), p.get(), null.get()})
        CFArrayPush(inner.get(), v);
    CFDictionaryPutText(d.get(), inner.get(), "list");
    std::string out;
    CFValueDescribeTo(
        d.get(), 0,
        [](void *context, const char *text, size_t length) {
            static_cast<std::string *>(context)->append(text, length);
        },
        &out);
    EXPECT_EQ(out, "Dictionary {\n"
                   "  list  =>  Array (\n"
                   "    1.500000,\n"
                   "    -2,\n"
                   "    CFValue: Range {1 , 2},\n"
                   "    CFValue: Pointer,\n"
                   "    ,\n"
                   "  ),\n"
                   "}\n");
}

TEST(CFValueKinds, WrongKindsGetNeutralAnswers) {
    Owned s(CFStringFromBytes("text", 0));
    Owned n(CFNumberFromUnsigned(5));
    CFArrayPush(s.get(), n.get());
    CFDictionaryPut(s.get(), n.get(), n.get());
    CFStringAppendText(n.get(), "x", 0);
    CFDataAppendBytes(s.get(), "x", 1);
    CFArraySortByText(s.get(), 0, 3);
    EXPECT_EQ(CFArrayCount(s.get()), 0u);
    EXPECT_EQ(CFDictionaryCount(s.get()), 0u);
    EXPECT_EQ(CFArrayGet(s.get(), 0), nullptr);
    EXPECT_EQ(CFDataBytes(s.get()), nullptr);
    EXPECT_STREQ(CFStringText(s.get()), "text");
    EXPECT_EQ(CFNumberGetInt(n.get()), 5);
    EXPECT_EQ(CFValueKind(nullptr), 0);
    EXPECT_FALSE(CFRangeGet(n.get(), nullptr, nullptr));
}

} // namespace
