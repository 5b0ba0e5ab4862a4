#include "net/http.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "base/clock.h"
#include "net/digest.h"
#include "net_test_util.h"

namespace {

// A parsed message with its texts copied out of the scratch area.
struct Parsed {
    int result = -1;
    size_t leftover = 0;
    std::string first, second, version, body;
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string buffer; // the whole buffer after the parse
    bool bodyAfterLeftover = false;
};

Parsed Parse(const std::string &text) {
    Parsed p;
    std::vector<uint8_t> data(text.begin(), text.end());
    size_t length = data.size();
    HttpScratch scratch;
    HttpMessage message{};
    p.result = ParseHttpMessage(data.data(), &length, &message, &scratch);
    p.buffer.assign(data.begin(), data.end());
    if (p.result != HttpRequest && p.result != HttpResponse) return p;
    p.leftover = length;
    p.first = message.first;
    p.second = message.second;
    p.version = message.version;
    p.status = message.statusCode;
    for (int i = 0; i < message.headers.count; i++)
        p.headers.emplace_back(message.headers.names[i], message.headers.values[i]);
    if (message.body) {
        p.body.assign((const char *)message.body, message.bodyLength);
        p.bodyAfterLeftover = message.body == data.data() + length;
    }
    return p;
}

TEST(HttpParse, RtspStatusLineAndHeaders) {
    Parsed p = Parse("RTSP/1.0 200 OK\r\nServer: AirTunes/1\r\nContent-Length: 4\r\n\r\nbody");
    ASSERT_EQ(p.result, HttpResponse);
    EXPECT_EQ(p.status, 200);
    EXPECT_EQ(p.first, "OK");
    EXPECT_EQ(p.second, "200");
    EXPECT_EQ(p.version, "RTSP/1.0");
    ASSERT_EQ(p.headers.size(), 2u);
    EXPECT_EQ(p.headers[0], std::make_pair(std::string("Server"), std::string("AirTunes/1")));
    EXPECT_EQ(p.headers[1].second, "4");
    EXPECT_EQ(p.body, "body");
    EXPECT_EQ(p.leftover, 0u);
}

TEST(HttpParse, MultiWordReasonPhraseAndFirstHeaderKept) {
    Parsed p = Parse("RTSP/1.0 453 Not Enough Bandwidth  \r\nAudio-Jack-Status: connected\r\n\r\n");
    ASSERT_EQ(p.result, HttpResponse);
    EXPECT_EQ(p.status, 453);
    EXPECT_EQ(p.first, "Not Enough Bandwidth");
    ASSERT_EQ(p.headers.size(), 1u);
    EXPECT_EQ(p.headers[0].first, "Audio-Jack-Status");
    EXPECT_EQ(p.headers[0].second, "connected");
}

TEST(HttpParse, RequestFieldsAndLineFeedOnlyLineEnds) {
    Parsed p = Parse("POST /stream HTTP/1.1\nX-Apple-Device-ID: 0x1\nContent-Length: 2\n\nab");
    ASSERT_EQ(p.result, HttpRequest);
    EXPECT_EQ(p.first, "POST");
    EXPECT_EQ(p.second, "/stream");
    EXPECT_EQ(p.version, "HTTP/1.1");
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.body, "ab");
}

TEST(HttpParse, ResponseWithoutContentLengthTakesEverythingAfterHead) {
    Parsed p = Parse("HTTP/1.1 200 OK\r\nContent-Type: text/x\r\n\r\nall of this\r\nis body");
    ASSERT_EQ(p.result, HttpResponse);
    EXPECT_EQ(p.body, "all of this\r\nis body");
    EXPECT_EQ(p.leftover, 0u);
}

TEST(HttpParse, EveryProperPrefixIsIncomplete) {
    const std::string whole = "HTTP/1.1 200 OK\r\nA: 1\r\nContent-Length: 5\r\n\r\nhello";
    for (size_t n = 0; n < whole.size(); n++)
        EXPECT_EQ(Parse(whole.substr(0, n)).result, HttpIncomplete) << "prefix " << n;
    EXPECT_EQ(Parse(whole).result, HttpResponse);
}

TEST(HttpParse, FirstElementMustBePrintableAndShort) {
    EXPECT_EQ(Parse("ABCDEFGHIJKLMNOPQ / HTTP/1.1\r\n\r\n").result, HttpMalformed); // 17 bytes
    EXPECT_EQ(Parse("ABCDEFGHIJKLMNOP / HTTP/1.1\r\n\r\n").result, HttpRequest);    // 16 bytes
    EXPECT_EQ(Parse("GE\x80T / HTTP/1.1\r\n\r\n").result, HttpMalformed);
    EXPECT_EQ(Parse("GE\tT / HTTP/1.1\r\n\r\n").result, HttpMalformed);
    EXPECT_EQ(Parse(std::string("\x17\x03\x03\x00\x20", 5)).result, HttpMalformed);
}

TEST(HttpParse, EmptyHeaderValueDoesNotSwallowNextLine) {
    Parsed p = Parse("GET / HTTP/1.1\r\nX-Empty:   \r\nCSeq: 1\r\nY: trailing  \r\n\r\n");
    ASSERT_EQ(p.result, HttpRequest);
    ASSERT_EQ(p.headers.size(), 3u);
    EXPECT_EQ(p.headers[0], std::make_pair(std::string("X-Empty"), std::string("")));
    EXPECT_EQ(p.headers[1], std::make_pair(std::string("CSeq"), std::string("1")));
    EXPECT_EQ(p.headers[2].second, "trailing  ") << "trailing spaces of values are kept";
}

TEST(HttpParse, LineWithoutColonIsSkippedAndHeadStillEnds) {
    Parsed p = Parse("GET / HTTP/1.1\r\nnot a header\r\nA: 1\r\n\r\nGET /next HTTP/1.1\r\n\r\n");
    ASSERT_EQ(p.result, HttpRequest);
    ASSERT_EQ(p.headers.size(), 1u);
    EXPECT_EQ(p.headers[0].first, "A");
    EXPECT_EQ(p.leftover, strlen("GET /next HTTP/1.1\r\n\r\n"));
}

TEST(HttpParse, HeadersBeyondListOrStringsAreaAreDropped) {
    std::string text = "GET / HTTP/1.1\r\n";
    for (int i = 1; i <= 65; i++)
        text += "H" + std::to_string(i) + ": v\r\n";
    text += "\r\n";
    Parsed p = Parse(text);
    ASSERT_EQ(p.result, HttpRequest);
    ASSERT_EQ(p.headers.size(), 64u);
    EXPECT_EQ(p.headers[63].first, "H64");

    // Values that do not fit the 8 KiB strings area are dropped; smaller later ones still fit.
    std::string big(5000, 'x');
    p = Parse("GET / HTTP/1.1\r\nA: " + big + "\r\nB: " + big + "\r\nC: c\r\n\r\n");
    ASSERT_EQ(p.result, HttpRequest);
    ASSERT_EQ(p.headers.size(), 2u);
    EXPECT_EQ(p.headers[0].first, "A");
    EXPECT_EQ(p.headers[1].first, "C");
}

TEST(HttpParse, OverlongHeadsAreMalformedInsteadOfWaitingForever) {
    EXPECT_EQ(Parse("GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n").result, HttpMalformed);
    EXPECT_EQ(Parse("GET /" + std::string(9000, 'a')).result, HttpMalformed);
    std::string endless = "GET / HTTP/1.1\r\n";
    while (endless.size() <= kHttpMaxHeaderBlock)
        endless += "X-Filler: 0123456789\r\n";
    EXPECT_EQ(Parse(endless).result, HttpMalformed);
}

TEST(HttpParse, PipelinedMessagesLeaveTheRestAtTheStart) {
    const std::string second = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    Parsed p = Parse("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc" + second);
    ASSERT_EQ(p.result, HttpResponse);
    EXPECT_EQ(p.body, "abc");
    ASSERT_EQ(p.leftover, second.size());
    EXPECT_EQ(p.buffer.substr(0, second.size()), second);
    EXPECT_TRUE(p.bodyAfterLeftover);

    // An explicit zero length ends the message; the rest is the next message.
    p = Parse("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n" + second);
    ASSERT_EQ(p.result, HttpResponse);
    EXPECT_EQ(p.body, "");
    EXPECT_EQ(p.leftover, second.size());
    EXPECT_EQ(p.buffer.substr(0, second.size()), second);

    // A request without a length has no body.
    p = Parse("OPTIONS * RTSP/1.0\r\n\r\nOPTIONS * RTSP/1.0\r\n\r\n");
    ASSERT_EQ(p.result, HttpRequest);
    EXPECT_EQ(p.body, "");
    EXPECT_EQ(p.leftover, strlen("OPTIONS * RTSP/1.0\r\n\r\n"));
}

TEST(HttpParse, ContentLengthReading) {
    EXPECT_EQ(Parse("HTTP/1.1 200 OK\r\ncontent-LENGTH: 10\r\n\r\nshort").result, HttpIncomplete);
    Parsed p = Parse("HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\nrest");
    ASSERT_EQ(p.result, HttpResponse);
    EXPECT_EQ(p.body, "") << "a length that is no number counts as 0";
    EXPECT_EQ(Parse("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\nx").result,
              HttpIncomplete);
    p = Parse("HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\nxy");
    ASSERT_EQ(p.result, HttpResponse);
    EXPECT_EQ(p.body, "");
}

TEST(HttpHeaders, FindIgnoresCaseAndReturnsFirst) {
    const char *names[] = {"Content-Length", "X-A", "x-a"};
    const char *values[] = {"12", "first", "second"};
    HeaderList list{names, values, 3};
    EXPECT_STREQ(HeaderListFind(&list, "content-length"), "12");
    EXPECT_STREQ(HeaderListFind(&list, "X-A"), "first");
    EXPECT_EQ(HeaderListFind(&list, "Content"), nullptr);
    EXPECT_EQ(HeaderListFind(&list, "X-A "), nullptr);
}

// ---- dispatching ----

struct Events {
    std::mutex lock;
    std::vector<std::string> log; // "req METHOD URI body", "resp CODE body", "raw bytes", "pw ..."
    void Add(const std::string &entry) {
        std::lock_guard<std::mutex> hold(lock);
        log.push_back(entry);
    }
    size_t Count() {
        std::lock_guard<std::mutex> hold(lock);
        return log.size();
    }
    std::vector<std::string> Copy() {
        std::lock_guard<std::mutex> hold(lock);
        return log;
    }
};

std::string BodyText(const HttpMessage *m) {
    return m->body ? std::string((const char *)m->body, m->bodyLength) : std::string();
}
void OnRequest(SocketSet *, int, const HttpMessage *m, void *user) {
    ((Events *)user)->Add(std::string("req ") + m->first + " " + m->second + " " + BodyText(m));
}
void OnResponse(SocketSet *, int, const HttpMessage *m, void *user) {
    ((Events *)user)->Add("resp " + std::to_string(m->statusCode) + " " + BodyText(m));
}
void OnRaw(SocketSet *, int, const uint8_t *data, size_t length, void *user) {
    ((Events *)user)->Add("raw " + std::string((const char *)data, length));
}
void OnPassword(SocketSet *, int, char *buffer, int size, int retried, void *user) {
    ((Events *)user)
        ->Add("pw " + std::string(buffer ? "buffer" : "none") + " " + std::to_string(size) + " " +
              std::to_string(retried));
}

SocketSet *NewHttpSet(Events *events) {
    SocketSet *set = SocketSetCreate();
    set->onReceived = HttpDispatch;
    set->onRequest = OnRequest;
    set->onResponse = OnResponse;
    set->onRawData = OnRaw;
    set->onPasswordNeeded = OnPassword;
    set->user = events;
    return set;
}

const std::string kStream = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfirst"
                            "RTSP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"
                            "GET /info HTTP/1.1\r\n\r\n"
                            "POST /x HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"
                            "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\nlast";
const std::vector<std::string> kStreamEvents = {"resp 200 first", "resp 200 ", "req GET /info ",
                                                "req POST /x abc", "resp 500 last"};

TEST(HttpDispatch, EveryMessageOfOneReadIsDispatchedWhateverTheChunking) {
    for (size_t chunk : {kStream.size(), (size_t)1, (size_t)7, (size_t)40}) {
        Events events;
        SocketSet *set = NewHttpSet(&events);
        ASSERT_EQ(SocketSetOpen(set, nullptr, 0, 0, UdpBound, 3, 1), 1);
        for (size_t at = 0; at < kStream.size(); at += chunk)
            HttpDispatch(set, 3, (const uint8_t *)kStream.data() + at,
                         std::min(chunk, kStream.size() - at), set->user);
        EXPECT_EQ(events.Copy(), kStreamEvents) << "chunk " << chunk;
        SocketSetFree(set);
    }
}

TEST(HttpDispatch, MalformedBytesGoToRawDataAndParsingStartsAfresh) {
    Events events;
    SocketSet *set = NewHttpSet(&events);
    ASSERT_EQ(SocketSetOpen(set, nullptr, 0, 0, UdpBound, 3, 1), 1);
    std::string garbage = "\x80\x81 binary";
    HttpDispatch(set, 3, (const uint8_t *)garbage.data(), garbage.size(), nullptr);
    std::string okThenJunk = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nzJUNK\x01";
    HttpDispatch(set, 3, (const uint8_t *)okThenJunk.data(), okThenJunk.size(), nullptr);
    std::string fine = "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n";
    HttpDispatch(set, 3, (const uint8_t *)fine.data(), fine.size(), nullptr);
    EXPECT_EQ(events.Copy(), (std::vector<std::string>{"raw " + garbage, "resp 200 z",
                                                       "raw JUNK\x01", "resp 204 "}));
    SocketSetFree(set);
}

TEST(HttpDispatch, SlotWithoutParsingPassesBytesThrough) {
    Events events;
    SocketSet *set = NewHttpSet(&events);
    ASSERT_EQ(SocketSetOpen(set, nullptr, 0, 0, UdpBound, 3, 0), 1);
    std::string text = "HTTP/1.1 200 OK\r\n\r\n";
    HttpDispatch(set, 3, (const uint8_t *)text.data(), text.size(), nullptr);
    EXPECT_EQ(events.Copy(), std::vector<std::string>{"raw " + text});
    SocketSetFree(set);
}

TEST(HttpDispatch, OversizedBodyIsPassedOnAsRawData) {
    LogCapture log;
    Events events;
    SocketSet *set = NewHttpSet(&events);
    ASSERT_EQ(SocketSetOpen(set, nullptr, 0, 0, UdpBound, 3, 1), 1);
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 999999999999\r\n\r\n";
    HttpDispatch(set, 3, (const uint8_t *)head.data(), head.size(), nullptr);
    std::vector<uint8_t> chunk(1 << 20, 'b');
    size_t fed = head.size();
    for (int i = 0; i < 17; i++) {
        HttpDispatch(set, 3, chunk.data(), chunk.size(), nullptr);
        fed += chunk.size();
    }
    size_t rawBytes = 0;
    for (const std::string &e : events.Copy()) {
        ASSERT_EQ(e.compare(0, 4, "raw "), 0);
        rawBytes += e.size() - 4;
    }
    EXPECT_GT(rawBytes, 0u);
    EXPECT_LE(fed - rawBytes, kHttpReceiveBufferMax) << "bytes held back";
    EXPECT_TRUE(log.Contains("would exceed"));
    SocketSetFree(set);
}

TEST(HttpDispatch, PipelinedResponsesInOneTcpReadBothArrive) {
    Events events;
    SocketSet *set = NewHttpSet(&events);
    LoopbackListener listener;
    ASSERT_EQ(SocketSetOpen(set, "127.0.0.1", 0, listener.port, TcpConnect, 1, 1), 1);
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    std::string two = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi"
                      "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nyou";
    ASSERT_TRUE(SendAll(peer, two.data(), two.size()));
    ASSERT_TRUE(WaitUntil([&] { return events.Count() >= 2; }, 5000));
    SleepMillis(20);
    EXPECT_EQ(events.Copy(), (std::vector<std::string>{"resp 200 hi", "resp 200 you"}));
    close(peer);
    SocketSetFree(set);
}

// ---- serialising ----

TEST(HttpSend, RequestAndUnauthorizedAreSerialisedExactly) {
    Events events;
    SocketSet *set = NewHttpSet(&events);
    LoopbackListener listener;
    ASSERT_EQ(SocketSetOpen(set, "127.0.0.1", 0, listener.port, TcpConnect, 1, 1), 1);
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(WaitUntil([&] { return SocketSetFindSlot(set, 1)->ready.load() == 1; }, 5000));

    const char *names[] = {"User-Agent", "X-Apple-Device-ID"};
    const char *values[] = {"AirPlay/150.33", "0xa0b1c2d3e4f5"};
    HeaderList headers{names, values, 2};
    SendHttpRequest(set, "GET", "/stream.xml", "HTTP/1.1", &headers, nullptr, 0, 1);
    std::string expected = "GET /stream.xml HTTP/1.1\r\nUser-Agent: AirPlay/150.33\r\n"
                           "X-Apple-Device-ID: 0xa0b1c2d3e4f5\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(ReadExactly(peer, expected.size()), expected);

    const uint8_t body[] = {'b', 0, 'p', 0xFF};
    SendHttpRequest(set, "POST", "/stream", "HTTP/1.1", nullptr, body, sizeof body, 1);
    expected = std::string("POST /stream HTTP/1.1\r\nContent-Length: 4\r\n\r\n") +
               std::string((const char *)body, sizeof body);
    EXPECT_EQ(ReadExactly(peer, expected.size()), expected);

    HttpMessage *stored = SocketSetFindSlot(set, 1)->lastRequest;
    ASSERT_NE(stored, nullptr);
    EXPECT_STREQ(stored->first, "POST");
    EXPECT_STREQ(stored->second, "/stream");
    ASSERT_EQ(stored->bodyLength, 4u);
    EXPECT_EQ(memcmp(stored->body, body, 4), 0);

    const char *authName = "WWW-Authenticate";
    const char *authValue = "Digest realm=\"AirPlay\", nonce=\"n\"";
    HeaderList challenge{&authName, &authValue, 1};
    SendUnauthorized(set, "RTSP/1.0", &challenge, 1);
    expected = "RTSP/1.0 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"AirPlay\", "
               "nonce=\"n\"\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(ReadExactly(peer, expected.size()), expected);
    close(peer);
    SocketSetFree(set);
}

} // namespace
