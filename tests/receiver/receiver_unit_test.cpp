// The receiver's parsers and checks, exercised directly.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/receiver/test_support.h"
#include "tools/receiver/rx_digest.h"
#include "tools/receiver/rx_http.h"
#include "tools/receiver/rx_log.h"
#include "tools/receiver/rx_ntp.h"
#include "tools/receiver/rx_packets.h"
#include "tools/receiver/rx_plist.h"
#include "tools/receiver/rx_report.h"
#include "tools/receiver/rx_timecode.h"

static HttpParseResult Parse(const std::string &text, HttpRequest *request, size_t *consumed,
                             std::string *error) {
    return HttpParseRequest((const uint8_t *)text.data(), text.size(), request, consumed, error);
}

TEST(ReceiverHttp, ParsesPipelinedRequestsAndWaitsForWholeBodies) {
    std::string first = "POST /stream HTTP/1.1\r\nContent-Length: 5\r\nX-A:  padded \r\n\r\nhello";
    std::string second = "GET /stream.xml HTTP/1.1\r\n\r\n";
    std::string both = first + second;
    HttpRequest request;
    size_t consumed = 0;
    std::string error;
    ASSERT_EQ(Parse(both, &request, &consumed, &error), kHttpComplete);
    EXPECT_EQ(consumed, first.size());
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.uri, "/stream");
    EXPECT_EQ(request.body, "hello");
    ASSERT_NE(HttpFindHeader(request, "x-a"), nullptr);
    EXPECT_EQ(*HttpFindHeader(request, "X-A"), "padded");
    ASSERT_EQ(Parse(both.substr(consumed), &request, &consumed, &error), kHttpComplete);
    EXPECT_EQ(request.uri, "/stream.xml");
    EXPECT_TRUE(request.body.empty());
    // Every prefix of a request short of its last body byte is incomplete, never an error.
    for (size_t cut = 0; cut < first.size(); cut++)
        EXPECT_EQ(Parse(first.substr(0, cut), &request, &consumed, &error), kHttpIncomplete) << cut;
}

TEST(ReceiverHttp, RefusesMalformedRequests) {
    HttpRequest request;
    size_t consumed;
    std::string error;
    const char *bad[] = {
        "GET /a HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
        "GET /a HTTP/1.1\r\nContent-Length: 12x\r\n\r\n",
        "GET /a HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc",
        "GET /a HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n",
        "GET /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
        "GET  /a HTTP/1.1\r\n\r\n",
        "GET /a FTP/1.0\r\n\r\n",
        "GET /a HTTP/1.1\r\nno colon here\r\n\r\n",
        "GET /a HTTP/1.1\r\n: empty name\r\n\r\n",
        "\r\n\r\n",
    };
    for (const char *text : bad) {
        error.clear();
        EXPECT_EQ(Parse(text, &request, &consumed, &error), kHttpBad) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
    std::string endless = "GET /a HTTP/1.1\r\n" + std::string(kHttpMaxHead, 'x');
    EXPECT_EQ(Parse(endless, &request, &consumed, &error), kHttpBad);
}

TEST(ReceiverDigest, MatchesTheRfc2069Example) {
    EXPECT_EQ(DigestResponse("GET", "/dir/index.html", "testrealm@host.com", "Mufasa",
                             "CircleOfLife", "dcd98b7102dd2f0e8b11d0f600bfb0c093"),
              "1949323746fe6a43ef61f9606e7febea");
    EXPECT_EQ(Md5Hex("", 0), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(ReceiverDigest, ChecksEachPartOfTheCredentials) {
    std::vector<std::string> nonces = {"n1", "n2"};
    auto header = [](const std::string &realm, const std::string &nonce, const std::string &uri,
                     const std::string &password) {
        return "Digest username=\"iTunes\", realm=\"" + realm + "\", nonce=\"" + nonce +
               "\", uri=\"" + uri + "\", response=\"" +
               DigestResponse("GET", uri, realm, "iTunes", password, nonce) + "\"";
    };
    std::string user;
    std::string good = header("AirPlay", "n2", "/stream.xml", "pw");
    EXPECT_EQ(DigestCheck(&good, "GET", "/stream.xml", "pw", nonces, &user), kDigestAccepted);
    EXPECT_EQ(user, "iTunes");
    EXPECT_EQ(DigestCheck(&good, "GET", "/stream.xml", "other", nonces, &user),
              kDigestWrongResponse);
    EXPECT_EQ(DigestCheck(&good, "POST", "/stream.xml", "pw", nonces, &user), kDigestWrongResponse);
    EXPECT_EQ(DigestCheck(nullptr, "GET", "/stream.xml", "pw", nonces, &user), kDigestMissing);
    std::string stale = header("AirPlay", "n9", "/stream.xml", "pw");
    EXPECT_EQ(DigestCheck(&stale, "GET", "/stream.xml", "pw", nonces, &user), kDigestUnknownNonce);
    std::string realm = header("Other", "n1", "/stream.xml", "pw");
    EXPECT_EQ(DigestCheck(&realm, "GET", "/stream.xml", "pw", nonces, &user), kDigestWrongRealm);
    std::string uri = header("AirPlay", "n1", "/other", "pw");
    EXPECT_EQ(DigestCheck(&uri, "GET", "/stream.xml", "pw", nonces, &user), kDigestUriMismatch);
    std::string basic = "Basic aVR1bmVzOnB3";
    EXPECT_EQ(DigestCheck(&basic, "GET", "/stream.xml", "pw", nonces, &user), kDigestMalformed);
    std::string noResponse =
        "Digest username=\"iTunes\", realm=\"AirPlay\", nonce=\"n1\", uri=\"/a\"";
    EXPECT_EQ(DigestCheck(&noResponse, "GET", "/a", "pw", nonces, &user), kDigestMalformed);
    std::string upper = good;
    for (size_t at = upper.find("response=\"") + 10; upper[at] != '"'; at++)
        upper[at] = (char)toupper(upper[at]);
    EXPECT_NE(upper, good);
    EXPECT_EQ(DigestCheck(&upper, "GET", "/stream.xml", "pw", nonces, &user), kDigestWrongResponse);
}

TEST(ReceiverDigest, ParsesQuotedCommasAndUnquotedValues) {
    std::map<std::string, std::string> params;
    ASSERT_TRUE(DigestParseParams("a=\"x, y\", b=plain ,c = \"q\\\"t\"", &params));
    EXPECT_EQ(params["a"], "x, y");
    EXPECT_EQ(params["b"], "plain");
    EXPECT_EQ(params["c"], "q\"t");
    EXPECT_FALSE(DigestParseParams("a=\"unterminated", &params));
    EXPECT_FALSE(DigestParseParams("novalue", &params));
}

TEST(ReceiverPlist, AcceptsTheExpectedSetupBody) {
    std::vector<uint8_t> body = BuildSetupPlist();
    ASSERT_EQ(body.size(), 273u); // the test's own writer must reproduce the known layout
    std::vector<std::string> problems;
    EXPECT_TRUE(StreamSetupCheck(body.data(), body.size(), &problems));
    EXPECT_TRUE(problems.empty()) << (problems.empty() ? "" : problems[0]);
}

TEST(ReceiverPlist, NamesEachWrongValue) {
    std::vector<std::string> problems;
    std::vector<uint8_t> body = BuildSetupPlist({{"latencyMs", "91"}});
    EXPECT_FALSE(StreamSetupCheck(body.data(), body.size(), &problems));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("latencyMs"), std::string::npos);
    body = BuildSetupPlist({{"version", "120.20"}}); // one byte longer
    EXPECT_FALSE(StreamSetupCheck(body.data(), body.size(), &problems));
    bool namesLength = false, namesVersion = false;
    for (auto &problem : problems) {
        namesLength = namesLength || problem.find("274") != std::string::npos;
        namesVersion = namesVersion || problem.find("\"version\"") != std::string::npos;
    }
    EXPECT_TRUE(namesLength);
    EXPECT_TRUE(namesVersion);
    // A renamed key: "fpsInfo" becomes "fpsInfp".
    body = BuildSetupPlist();
    ASSERT_EQ(memcmp(body.data() + 41, "fpsInfo", 7), 0);
    body[47] = 'p';
    EXPECT_FALSE(StreamSetupCheck(body.data(), body.size(), &problems));
    bool missing = false;
    for (auto &problem : problems)
        missing = missing || problem.find("\"fpsInfo\" missing") != std::string::npos;
    EXPECT_TRUE(missing);
}

TEST(ReceiverPlist, SurvivesTruncationCorruptionAndCycles) {
    std::vector<uint8_t> body = BuildSetupPlist();
    std::vector<std::string> problems;
    for (size_t cut = 0; cut < body.size(); cut++)
        EXPECT_FALSE(StreamSetupCheck(body.data(), cut, &problems)) << cut;
    // Every single-byte change to every position either still reads or is refused: no crash.
    int refused = 0;
    for (size_t at = 0; at < body.size(); at++) {
        for (int value : {0x00, 0x0f, 0x5f, 0xaf, 0xdf, 0xff}) {
            std::vector<uint8_t> copy = body;
            if (copy[at] == value) continue;
            copy[at] = (uint8_t)value;
            if (!StreamSetupCheck(copy.data(), copy.size(), &problems)) refused++;
        }
    }
    EXPECT_GT(refused, 1000);
    // The fpsInfo array (object 9) made to hold itself.
    std::vector<uint8_t> cyclic = body;
    cyclic[99] = 9;
    BpValue root;
    BpLayout layout;
    std::string error;
    EXPECT_FALSE(BplistParse(cyclic.data(), cyclic.size(), &root, &layout, &error));
    EXPECT_FALSE(error.empty());
}

TEST(ReceiverPackets, ReadsHeaderFieldsAndFlagsDeviations) {
    PacketGeometry geometry{1280, 720, 160, 0, 959, 719};
    std::vector<uint8_t> codec = BuildPacket(1, {1, 2, 3}, 0x0000001280000000ull, geometry);
    PacketHeader header;
    PacketHeaderParse(codec.data(), &header);
    EXPECT_EQ(header.payloadLength, 3u);
    EXPECT_EQ(header.type, kPacketCodec);
    EXPECT_EQ(header.subtype, 6);
    EXPECT_EQ(header.timestamp >> 32, 0x12u);
    EXPECT_EQ((uint32_t)header.timestamp, 0x80000000u);
    EXPECT_DOUBLE_EQ(StreamFixedToSeconds(header.timestamp), 18.5);
    EXPECT_EQ(header.codecWidth, 1280);
    EXPECT_EQ(header.left, 160);
    EXPECT_EQ(header.right, 959);
    EXPECT_EQ(header.bottom, 719);
    EXPECT_TRUE(PacketHeaderProblems(header, codec.data()).empty());

    std::vector<uint8_t> heartbeat = BuildHeartbeat();
    PacketHeaderParse(heartbeat.data(), &header);
    EXPECT_TRUE(PacketHeaderProblems(header, heartbeat.data()).empty());
    heartbeat[6] = 6;
    PacketHeaderParse(heartbeat.data(), &header);
    EXPECT_EQ(PacketHeaderProblems(header, heartbeat.data()).size(), 1u);

    std::vector<uint8_t> video = BuildPacket(0, {0, 0, 0, 1, 0x65}, 0x100000000ull, geometry);
    video[16] = 1; // a video packet must leave offsets 16..23 zero
    video[100] = 1;
    PacketHeaderParse(video.data(), &header);
    EXPECT_EQ(PacketHeaderProblems(header, video.data()).size(), 2u);
    video[4] = 9;
    PacketHeaderParse(video.data(), &header);
    auto unknown = PacketHeaderProblems(header, video.data());
    ASSERT_EQ(unknown.size(), 1u);
    EXPECT_NE(unknown[0].find("unknown payload type 9"), std::string::npos);
}

TEST(ReceiverPackets, ValidatesCodecRecordsAndNalFraming) {
    std::vector<uint8_t> sps = {0x67, 0x64, 0x00, 0x1f, 0xac};
    std::vector<uint8_t> pps = {0x68, 0xee, 0x3c, 0x80};
    std::vector<uint8_t> record = {1, 0x64, 0, 0x1f, 0xff, 0xe1, 0, 5};
    record.insert(record.end(), sps.begin(), sps.end());
    record.insert(record.end(), {1, 0, 4});
    record.insert(record.end(), pps.begin(), pps.end());
    AvcConfig config;
    std::string error;
    ASSERT_TRUE(AvcConfigParse(record.data(), record.size(), &config, &error)) << error;
    EXPECT_EQ(config.lengthSize, 4);
    EXPECT_EQ(config.sps[0], sps);
    EXPECT_EQ(config.pps[0], pps);
    for (size_t cut = 0; cut < record.size(); cut++)
        EXPECT_FALSE(AvcConfigParse(record.data(), cut, &config, &error)) << cut;
    std::vector<uint8_t> swapped = record;
    swapped[8] = 0x68; // a PPS where the SPS belongs
    EXPECT_FALSE(AvcConfigParse(swapped.data(), swapped.size(), &config, &error));

    std::vector<uint8_t> units = {0, 0, 0, 2, 0x65, 0xaa, 0, 0, 0, 1, 0x41};
    std::vector<uint8_t> annexB;
    NalSummary summary;
    ASSERT_TRUE(NalUnitsToAnnexB(units.data(), units.size(), 4, &annexB, &summary, &error));
    EXPECT_EQ(annexB, (std::vector<uint8_t>{0, 0, 0, 1, 0x65, 0xaa, 0, 0, 0, 1, 0x41}));
    EXPECT_EQ(summary.count, 2);
    EXPECT_TRUE(summary.idr);
    std::vector<uint8_t> overrun = {0, 0, 0, 9, 0x65, 0xaa};
    annexB.clear();
    EXPECT_FALSE(NalUnitsToAnnexB(overrun.data(), overrun.size(), 4, &annexB, &summary, &error));
    EXPECT_TRUE(annexB.empty());
    std::vector<uint8_t> cutPrefix = {0, 0, 0, 1, 0x41, 0, 0};
    EXPECT_FALSE(
        NalUnitsToAnnexB(cutPrefix.data(), cutPrefix.size(), 4, &annexB, &summary, &error));
    std::vector<uint8_t> empty = {0, 0, 0, 0};
    EXPECT_FALSE(NalUnitsToAnnexB(empty.data(), empty.size(), 4, &annexB, &summary, &error));
}

TEST(ReceiverTiming, ComputesRoundTripAndOffsetFromAMatchingReply) {
    auto fixed = [](double seconds) { return StreamSecondsToFixed(seconds); };
    uint64_t sent[8] = {fixed(1000.0), 0};
    uint8_t reply[48] = {0x24, 1, 2, 0xe8};
    auto put = [&](int at, uint64_t v) {
        for (int i = 7; i >= 0; i--, v >>= 8)
            reply[at + i] = (uint8_t)v;
    };
    put(24, sent[0]);
    put(32, fixed(1002.505)); // sender clock 2.5 s ahead, 5 ms one way
    put(40, fixed(1002.506));
    double roundTrip = 0, offset = 0;
    ASSERT_EQ(NtpEvaluateReply(reply, 48, sent, 8, fixed(1000.011), &roundTrip, &offset),
              kNtpReplyOk);
    EXPECT_NEAR(roundTrip, 0.010, 1e-6);
    EXPECT_NEAR(offset, 2.5, 1e-6);
    EXPECT_EQ(NtpEvaluateReply(reply, 47, sent, 8, fixed(1000.011), &roundTrip, &offset),
              kNtpReplyBadSize);
    put(24, fixed(999.0));
    EXPECT_EQ(NtpEvaluateReply(reply, 48, sent, 8, fixed(1000.011), &roundTrip, &offset),
              kNtpReplyUnmatched);
    put(24, sent[0]);
    reply[0] = 0x23; // a client request echoed back is not an answer
    EXPECT_EQ(NtpEvaluateReply(reply, 48, sent, 8, fixed(1000.011), &roundTrip, &offset),
              kNtpReplyBadMode);
}

TEST(ReceiverReport, PercentilesUseNearestRank) {
    std::vector<double> samples;
    for (int i = 100; i >= 1; i--)
        samples.push_back(i);
    EXPECT_EQ(Percentile(samples, 0.5), 50);
    EXPECT_EQ(Percentile(samples, 0.99), 99);
    EXPECT_EQ(Percentile(samples, 1.0), 100);
    EXPECT_EQ(Percentile({7}, 0.99), 7);
    EXPECT_EQ(Percentile({}, 0.5), 0);
}

TEST(ReceiverReport, ScreenDescriptionIsWellFormedAndConfigurable) {
    ScreenInfo info{1280, 720, true, kOverscanString, 1.0 / 50, "1<2"};
    std::string xml = ScreenInfoXml(info);
    EXPECT_NE(xml.find("<key>width</key>\n\t<integer>1280</integer>"), std::string::npos);
    EXPECT_NE(xml.find("<key>height</key>\n\t<integer>720</integer>"), std::string::npos);
    EXPECT_NE(xml.find("<key>overscanned</key>\n\t<string>true</string>"), std::string::npos);
    EXPECT_NE(xml.find("<real>0.02</real>"), std::string::npos);
    EXPECT_NE(xml.find("<string>1&lt;2</string>"), std::string::npos);
    info.overscanForm = kOverscanBool;
    info.overscanned = false;
    EXPECT_NE(ScreenInfoXml(info).find("<key>overscanned</key>\n\t<false/>"), std::string::npos);
}

// ---- benchmark time code ----

namespace {

// A luma plane holding the painter's two rows for code, scaled from a screen screenWidth
// wide to width (nearest neighbour, as a scaler would blur it only at edges).
std::vector<uint8_t> PaintTimecode(uint32_t code, int cell, int screenWidth, int width,
                                   int height) {
    std::vector<uint8_t> plane((size_t)width * height, 80);
    double scale = (double)width / screenWidth;
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            int sx = (int)(x / scale), sy = (int)(y / scale);
            int bit = sx / cell, row = sy / cell;
            if (bit >= kTimecodeBits || row >= 2) continue;
            bool set = (code >> (kTimecodeBits - 1 - bit)) & 1;
            plane[(size_t)y * width + x] = (set != (row == 1)) ? 235 : 16;
        }
    return plane;
}

} // namespace

TEST(Timecode, ReadsCodesThroughScalingAndRejectsTornOrMissingOnes) {
    for (uint32_t code : {0u, 1u, 0xABCDEFu, kTimecodeMask, 0x800001u}) {
        std::vector<uint8_t> plane = PaintTimecode(code, 32, 1920, 1280, 720);
        uint32_t read = 0;
        ASSERT_TRUE(ReadTimecode(plane.data(), 1280, 1280, 720, 32, 1920, &read)) << code;
        EXPECT_EQ(read, code);
    }
    std::vector<uint8_t> plane = PaintTimecode(0x123456, 32, 1920, 1920, 1080);
    uint32_t read = 0;
    ASSERT_TRUE(ReadTimecode(plane.data(), 1920, 1920, 1080, 32, 1920, &read));
    EXPECT_EQ(read, 0x123456u);
    // A capture between the painter's two fills: one cell white in both rows.
    for (int y = 32; y < 64; y++)
        for (int x = 5 * 32; x < 6 * 32; x++)
            plane[(size_t)y * 1920 + x] = plane[(size_t)(y - 32) * 1920 + x] = 235;
    EXPECT_FALSE(ReadTimecode(plane.data(), 1920, 1920, 1080, 32, 1920, &read));
    // A screen without a code, and a picture too small to hold one.
    std::vector<uint8_t> grey((size_t)1280 * 720, 128);
    EXPECT_FALSE(ReadTimecode(grey.data(), 1280, 1280, 720, 32, 1920, &read));
    EXPECT_FALSE(ReadTimecode(grey.data(), 100, 100, 10, 32, 1920, &read));
}

TEST(Timecode, AgesWrapAroundThe24BitWheel) {
    EXPECT_EQ(TimecodeAgeMs(1000, 1016), 16);
    EXPECT_EQ(TimecodeAgeMs(kTimecodeMask - 5, (1ull << 24) * 7 + 10), 16);
    EXPECT_LT(TimecodeAgeMs(1016, 1000), 0);
}
