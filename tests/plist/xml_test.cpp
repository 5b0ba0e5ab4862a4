#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "plist_test_util.h"

namespace {

const char kHeader[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                       "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                       "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                       "<plist version=\"1.0\">\n";

std::string ToXml(const CFValue *value) {
    Owned doc(PlistToXML(value));
    return std::string(CFStringText(doc.get()), CFStringLength(doc.get()));
}

// A dictionary like the settings document, with texts that need escaping.
CFValue *SettingsLike() {
    CFValue *d = CFDictionaryNew(4);
    auto put = [d](const char *key, CFValue *v) {
        CFDictionaryPutText(d, v, key);
        CFValueRelease(v);
    };
    put("LastReceiver", CFStringFromBytes("Living Room <TV> & \"Den\" 'A'", 0));
    put("Password", CFStringFromBytes("p&ss<w>rd&amp;&lt;", 0));
    put("DisplayName", CFStringFromBytes("Écran n°2 — 表示 😀", 0));
    put("Quality", CFNumberFromUnsigned(4294967295u));
    put("AudioEnabled", CFNumberFromBool(1));
    put("Muted", CFNumberFromBool(0));
    put("Empty", CFStringFromBytes("", 0));
    put("Spaces", CFStringFromBytes("  padded\ttext\n", 0));
    const uint8_t bytes[] = {0, 1, 2, 0xfe, 0xff, '<', '&'};
    put("Blob", CFDataFromBytes(bytes, sizeof bytes));
    put("EmptyBlob", CFDataFromBytes(nullptr, 0));
    CFValue *list = CFArrayNew(0);
    for (const char *t : {"a<b", "c>d", "e&f", "&#60;", "plain"}) {
        CFValue *s = CFStringFromBytes(t, 0);
        CFArrayPush(list, s);
        CFValueRelease(s);
    }
    CFValue *nested = CFDictionaryNew(0);
    CFValue *inner = CFNumberFromUnsigned(7);
    CFDictionaryPutText(nested, inner, "<key & more>");
    CFValueRelease(inner);
    CFArrayPush(list, nested);
    CFValueRelease(nested);
    put("Receivers", list);
    return d;
}

TEST(PlistXmlWriter, EmptyDictionaryDocument) {
    Owned d(CFDictionaryNew(0));
    EXPECT_EQ(ToXml(d.get()), std::string(kHeader) + "<dict>\n</dict>\n</plist>\n");
}

TEST(PlistXmlWriter, ElementsAndIndentation) {
    Owned d(CFDictionaryNew(0));
    Owned r(CFNumberFromReal(1.5)), u(CFNumberFromUnsigned(4294967295u));
    Owned s(CFNumberFromSigned(-2)), a(CFArrayNew(0)), t(CFNumberFromBool(1));
    Owned data(CFDataFromBytes("abc", 3)), text(CFStringFromBytes("x", 0));
    CFArrayPush(a.get(), t.get());
    CFArrayPush(a.get(), data.get());
    CFDictionaryPutText(d.get(), r.get(), "r");
    CFDictionaryPutText(d.get(), u.get(), "u");
    CFDictionaryPutText(d.get(), s.get(), "s");
    CFDictionaryPutText(d.get(), a.get(), "a");
    CFDictionaryPut(d.get(), text.get(), u.get()); // a key that is not a string
    EXPECT_EQ(ToXml(d.get()), std::string(kHeader) +
                                  "<dict>\n"
                                  "\t<key>r</key>\n\t<real>1.500000</real>\n"
                                  "\t<key>u</key>\n\t<integer>4294967295</integer>\n"
                                  "\t<key>s</key>\n\t<integer>-2</integer>\n"
                                  "\t<key>a</key>\n\t<array>\n"
                                  "\t\t<true/>\n\t\t<data>YWJj</data>\n\t</array>\n"
                                  "\t<integer>4294967295</integer>\n\t<string>x</string>\n"
                                  "</dict>\n</plist>\n");
}

TEST(PlistXmlWriter, EscapesMarkupCharacters) {
    Owned s(CFStringFromBytes("a<b>&c", 0));
    std::string xml = ToXml(s.get());
    EXPECT_NE(xml.find("<string>a&lt;b&gt;&amp;c</string>"), std::string::npos) << xml;
    Owned d(CFDictionaryNew(0));
    CFDictionaryPutText(d.get(), s.get(), "k<&>");
    EXPECT_NE(ToXml(d.get()).find("<key>k&lt;&amp;&gt;</key>"), std::string::npos);
}

TEST(PlistXmlRoundTrip, SettingsDocumentReadsBackEqual) {
    Owned d(SettingsLike());
    Owned doc(PlistToXML(d.get()));
    Owned back(PlistParse(doc.get()));
    ASSERT_NE(back.get(), nullptr);
    EXPECT_TRUE(CFValueTreeEqual(d.get(), back.get())) << Dump(back.get());
    EXPECT_STREQ(CFStringText(CFDictionaryFindText(back.get(), "LastReceiver")),
                 "Living Room <TV> & \"Den\" 'A'");
    EXPECT_STREQ(CFStringText(CFDictionaryFindText(back.get(), "Password")), "p&ss<w>rd&amp;&lt;");
    EXPECT_STREQ(CFStringText(CFDictionaryFindText(back.get(), "DisplayName")),
                 "Écran n°2 — 表示 😀");
    // Signed numbers come back as the same 32-bit pattern.
    Owned offset(CFNumberFromSigned(-2));
    Owned offsetBack(PlistParse(Owned(PlistToXML(offset.get())).get()));
    EXPECT_EQ(CFNumberGetInt(offsetBack.get()), -2);
    // A document read back and written again is byte-identical.
    Owned again(PlistToXML(back.get()));
    EXPECT_STREQ(CFStringText(again.get()), CFStringText(doc.get()));
}

TEST(PlistXmlRoundTrip, EveryByteValueInStrings) {
    std::string text;
    for (int c = 1; c < 256; c++)
        text += static_cast<char>(c);
    Owned s(CFStringFromBytes(text.c_str(), 0));
    Owned doc(PlistToXML(s.get()));
    Owned back(PlistParse(doc.get()));
    ASSERT_TRUE(CFValueIsKind(back.get(), kCFString));
    EXPECT_EQ(std::string(CFStringText(back.get())), text);
}

TEST(PlistXmlReader, Entities) {
    Owned s(ParseText("<string>&lt;&gt;&amp;&quot;&apos;&#65;&#x42;&#x20AC;&#128512;</string>"));
    EXPECT_STREQ(CFStringText(s.get()), "<>&\"'AB\xE2\x82\xAC\xF0\x9F\x98\x80");
    // Not entities: kept as written.
    Owned k(ParseText("<key>&bogus; & &#; &#x; &#0; &#xD800; &#x110000; &#12a; &amp</key>"));
    EXPECT_STREQ(CFStringText(k.get()), "&bogus; & &#; &#x; &#0; &#xD800; &#x110000; &#12a; &amp");
    // Entities are decoded once, not repeatedly.
    Owned twice(ParseText("<string>&amp;lt;</string>"));
    EXPECT_STREQ(CFStringText(twice.get()), "&lt;");
}

TEST(PlistXmlReader, NumbersAndBooleans) {
    Owned neg(ParseText("<integer>-5</integer>"));
    EXPECT_EQ(CFNumberSubtype(neg.get()), kCFNumberUnsigned);
    EXPECT_EQ(neg.get()->number.u32, 4294967291u);
    Owned frac(ParseText("<integer>3.9</integer>"));
    EXPECT_EQ(frac.get()->number.u32, 3u);
    Owned big(ParseText("<integer>4294967298</integer>"));
    EXPECT_EQ(big.get()->number.u32, 2u);
    Owned huge(ParseText("<integer>1e300</integer>"));
    EXPECT_EQ(CFNumberSubtype(huge.get()), kCFNumberUnsigned);
    Owned junk(ParseText("<integer>wide</integer>"));
    EXPECT_EQ(CFNumberGetInt(junk.get()), 0);
    Owned real(ParseText("<real>2.25</real>"));
    EXPECT_EQ(CFNumberSubtype(real.get()), kCFNumberReal);
    EXPECT_DOUBLE_EQ(real.get()->number.real, 2.25);
    Owned nan(ParseText("<real>nan</real>"));
    EXPECT_TRUE(std::isnan(nan.get()->number.real));
    Owned shortTrue(ParseText("<true/>"));
    EXPECT_TRUE(CFNumberGetBool(shortTrue.get()));
    Owned longTrue(ParseText("<true></true>"));
    EXPECT_TRUE(CFNumberGetBool(longTrue.get()));
    Owned shortFalse(ParseText("<false/>"));
    EXPECT_EQ(CFNumberSubtype(shortFalse.get()), kCFNumberBool);
    EXPECT_FALSE(CFNumberGetBool(shortFalse.get()));
}

TEST(PlistXmlReader, ReaderQuirksOfTheFormat) {
    // A true tag with a blank before the slash takes the next ">" as its end, which
    // swallows the following key.
    Owned spaced(ParseText("<dict><key>a</key><true /><key>b</key><integer>1</integer>"
                           "<key>c</key><integer>2</integer></dict>"));
    ASSERT_NE(spaced.get(), nullptr);
    EXPECT_TRUE(CFNumberGetBool(CFDictionaryFindText(spaced.get(), "a")));
    EXPECT_EQ(CFDictionaryFindText(spaced.get(), "b"), nullptr);
    // A self-closing array tag opens a container that takes the following elements.
    Owned selfClosed(ParseText("<array><array/><integer>1</integer></array><integer>2</integer>"
                               "</array>"));
    ASSERT_EQ(CFArrayCount(selfClosed.get()), 2u);
    EXPECT_EQ(CFArrayCount(CFArrayGet(selfClosed.get(), 0)), 1u);
    // A date is skipped and its closing tag ends the enclosing container.
    Owned dated(ParseText("<array><integer>1</integer><date>2020</date><integer>2</integer>"
                          "</array>"));
    EXPECT_EQ(CFArrayCount(dated.get()), 1u);
    // Closing tags are not matched against opening ones.
    Owned mismatched(ParseText("<string>abc</integer>"));
    EXPECT_STREQ(CFStringText(mismatched.get()), "abc");
    // Only the first value counts; the header and trailing text are ignored.
    Owned first(ParseText(std::string(kHeader) + "<string>one</string><string>two</string>"));
    EXPECT_STREQ(CFStringText(first.get()), "one");
}

TEST(PlistXmlReader, DataSpreadOverLines) {
    Owned a(ParseText("<data>\n\tAAEC\n\t/v8=\r\n  </data>"));
    Owned b(ParseText("<data>AAEC/v8=</data>"));
    ASSERT_EQ(CFDataLength(a.get()), 5u);
    EXPECT_TRUE(CFValueEqual(a.get(), b.get()));
    Owned empty(ParseText("<data></data>"));
    ASSERT_TRUE(CFValueIsKind(empty.get(), kCFData));
    EXPECT_EQ(CFDataLength(empty.get()), 0u);
}

TEST(PlistXmlReader, DictionaryKeysRepeatAndLoseTheirValue) {
    Owned d(ParseText("<dict><key>a</key><integer>1</integer><key>b</key><integer>2</integer>"
                      "<key>a</key><integer>3</integer><key>lonely</key></dict>"));
    ASSERT_EQ(CFDictionaryCount(d.get()), 2u);
    EXPECT_STREQ(CFStringText(CFDictionaryKeyAt(d.get(), 0)), "a");
    EXPECT_EQ(CFNumberGetInt(CFDictionaryFindText(d.get(), "a")), 3);
    EXPECT_EQ(CFDictionaryFindText(d.get(), "lonely"), nullptr);
}

TEST(PlistXmlReader, TruncatedAndMalformedInput) {
    EXPECT_EQ(ParseText("{"), nullptr);
    EXPECT_EQ(ParseText(""), nullptr);
    EXPECT_EQ(ParseText("no markup at all"), nullptr);
    EXPECT_EQ(ParseText("<string>unterminated"), nullptr);
    EXPECT_EQ(ParseText("<str"), nullptr);
    EXPECT_EQ(ParseText("</dict>"), nullptr);
    EXPECT_EQ(ParseText("<date>x</date>"), nullptr);
    // A container cut short keeps what it read.
    Owned cut(ParseText("<array><integer>1</integer><integer>2</integer><integer>3"));
    ASSERT_EQ(CFArrayCount(cut.get()), 2u);
    // Every prefix of a real document parses without trouble.
    Owned d(SettingsLike());
    Owned doc(PlistToXML(d.get()));
    std::string text = CFStringText(doc.get());
    for (size_t n = 0; n <= text.size(); n += 3) {
        Owned part(PlistParseBytes(text.data(), n));
        if (part.get()) {
            EXPECT_EQ(CFValueKind(part.get()), kCFDictionary);
        }
    }
    // Input need not be NUL-terminated: a reader stops at its length.
    std::string bounded = "<string>abc</string>";
    Owned exact(PlistParseBytes(bounded.data(), 10));
    EXPECT_EQ(exact.get(), nullptr);
}

TEST(PlistXmlReader, DeepNestingIsRefused) {
    std::string deep;
    for (int i = 0; i < 100000; i++)
        deep += "<array>";
    EXPECT_EQ(ParseText(deep), nullptr);
    std::string deepDict;
    for (int i = 0; i < 100000; i++)
        deepDict += "<dict><key>k</key>";
    EXPECT_EQ(ParseText(deepDict), nullptr);
    // Nesting up to the limit is fine.
    std::string ok;
    for (uint32_t i = 0; i < kPlistMaxDepth; i++)
        ok += "<array>";
    ok += "<string>leaf</string>";
    for (uint32_t i = 0; i < kPlistMaxDepth; i++)
        ok += "</array>";
    Owned v(ParseText(ok));
    ASSERT_NE(v.get(), nullptr);
    const CFValue *walk = v.get();
    for (uint32_t i = 0; i < kPlistMaxDepth; i++)
        walk = CFArrayGet(walk, 0);
    EXPECT_STREQ(CFStringText(walk), "leaf");
    // One more level fails the whole document.
    EXPECT_EQ(ParseText("<array>" + ok + "</array>"), nullptr);
}

TEST(PlistXmlReader, ManyDistinctKeysStayLinear) {
    std::string doc = "<dict>";
    for (int i = 0; i < 50000; i++)
        doc += "<key>k" + std::to_string(i) + "</key><integer>" + std::to_string(i) + "</integer>";
    doc += "<key>k7</key><integer>70</integer></dict>";
    Owned d(ParseText(doc));
    ASSERT_EQ(CFDictionaryCount(d.get()), 50000u);
    EXPECT_EQ(CFNumberGetInt(CFDictionaryFindText(d.get(), "k7")), 70);
    EXPECT_EQ(CFNumberGetInt(CFDictionaryFindText(d.get(), "k49999")), 49999);
    // Keys that are not strings are compared by value and capped.
    std::string numeric = "<dict>";
    for (int i = 0; i < 3000; i++)
        numeric += "<integer>" + std::to_string(i) + "</integer><true/>";
    numeric += "</dict>";
    EXPECT_EQ(ParseText(numeric), nullptr);
    Owned few(ParseText("<dict><integer>1</integer><string>a</string><real>1.0</real>"
                        "<string>b</string></dict>"));
    ASSERT_EQ(CFDictionaryCount(few.get()), 1u);
    EXPECT_STREQ(CFStringText(CFDictionaryValueAt(few.get(), 0)), "b");
}

TEST(PlistParse, InputKinds) {
    EXPECT_EQ(PlistParse(nullptr), nullptr);
    Owned n(CFNumberFromUnsigned(3));
    EXPECT_EQ(PlistParse(n.get()), nullptr);
    Owned text(CFStringFromBytes("<integer>12</integer>", 0));
    Owned a(PlistParse(text.get()));
    EXPECT_EQ(CFNumberGetInt(a.get()), 12);
    Owned data(CFDataFromBytes("<integer>13</integer>", 21));
    Owned b(PlistParse(data.get()));
    EXPECT_EQ(CFNumberGetInt(b.get()), 13);
}

} // namespace
