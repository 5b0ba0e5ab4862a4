#include "net/digest.h"

#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "net/http.h"
#include "net_test_util.h"

namespace {

// MD5 in hex as the coreutils tool computes it: an implementation independent of ours.
std::string ToolMd5(const std::string &text) {
    char path[] = "/tmp/ostrel-md5-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return "";
    bool written = write(fd, text.data(), text.size()) == (ssize_t)text.size();
    close(fd);
    int code = -1;
    std::string output = written ? RunCommand(std::string("md5sum ") + path, &code) : "";
    unlink(path);
    return code == 0 ? output.substr(0, 32) : "";
}

std::string ToolDigestResponse(const std::string &method, const std::string &uri,
                               const std::string &realm, const std::string &user,
                               const std::string &password, const std::string &nonce) {
    std::string ha1 = ToolMd5(user + ":" + realm + ":" + password);
    std::string ha2 = ToolMd5(method + ":" + uri);
    return ToolMd5(ha1 + ":" + nonce + ":" + ha2);
}

std::string ParameterOf(const std::string &header, const std::string &name) {
    std::smatch match;
    std::regex pattern("(^|[ ,])" + name + "=\"?([^\",]*)\"?");
    if (std::regex_search(header, match, pattern)) return match[2];
    return "";
}

std::string HeaderOf(const std::string &message, const std::string &name) {
    size_t at = message.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "";
    at += name.size() + 4;
    return message.substr(at, message.find("\r\n", at) - at);
}

TEST(DigestMd5, KnownVectorsAndToolAgreement) {
    EXPECT_EQ(Md5Hex("", 0), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("abc", 3), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message digest", 14), "f96b697d7cb7938d525a2f31aaf161d0");
    std::string text = "iTunes:AirPlay:p\xC3\xA4ss w0rd";
    std::string tool = ToolMd5(text);
    ASSERT_EQ(tool.size(), 32u);
    EXPECT_EQ(Md5Hex(text.data(), text.size()), tool);
}

TEST(DigestParameters, QuotesSpacesAndCuts) {
    char value[1024];
    const char *challenge = "realm=\"x\", nonce=\"abc\"";
    ASSERT_EQ(DigestParameter(challenge, "realm", value, 63), 1);
    EXPECT_STREQ(value, "x");
    ASSERT_EQ(DigestParameter(challenge, "nonce", value, 63), 1);
    EXPECT_STREQ(value, "abc");
    EXPECT_EQ(DigestParameter(challenge, "Nonce", value, 63), 0) << "names are case-sensitive";
    EXPECT_EQ(DigestParameter(" uri = /a/b ,response=ff", "uri", value, 63), 1);
    EXPECT_STREQ(value, "/a/b");
    EXPECT_EQ(DigestParameter(" uri = /a/b ,response=ff", "response", value, 63), 1);
    EXPECT_STREQ(value, "ff");
    std::string longNonce = "nonce=\"" + std::string(70, 'n') + "\"";
    ASSERT_EQ(DigestParameter(longNonce.c_str(), "nonce", value, 63), 1);
    EXPECT_EQ(strlen(value), 63u);
    EXPECT_EQ(DigestParameter("broken, =x, realm", "realm", value, 63), 0);
}

TEST(DigestChallengeCheck, RecordsChallengeAndWipesRefusedPassword) {
    SocketSlot slot{};
    strcpy(slot.password, "pw");
    const char *names[] = {"www-AUTHENTICATE"};
    const char *values[] = {"Digest realm=\"x\", nonce=\"abcdefghijkl\""};
    HttpMessage response{"Unauthorized", "401", 401, "RTSP/1.0", {names, values, 1}, nullptr, 0};
    ASSERT_TRUE(IsDigestChallenge(&slot, &response));
    EXPECT_STREQ(slot.realm, "x");
    EXPECT_STREQ(slot.nonce, "abcdefghijkl");
    EXPECT_EQ(slot.authRequested, 1);
    EXPECT_STREQ(slot.password, "pw") << "not yet tried";

    values[0] = "Digest nonce=\"xyz\"";
    slot.retriedWithPassword = 1;
    ASSERT_TRUE(IsDigestChallenge(&slot, &response));
    EXPECT_EQ(std::string(slot.nonce, sizeof slot.nonce), "xyz" + std::string(61, '\0'));
    EXPECT_STREQ(slot.realm, "");
    EXPECT_EQ(std::string(slot.password, sizeof slot.password), std::string(64, '\0'));

    values[0] = "Basic realm=\"x\"";
    EXPECT_TRUE(IsDigestChallenge(&slot, &response)) << "another scheme still challenges";
    EXPECT_STREQ(slot.nonce, "");

    HttpMessage plain401{"Unauthorized", "401", 401, "HTTP/1.1", {nullptr, nullptr, 0}, nullptr, 0};
    EXPECT_FALSE(IsDigestChallenge(&slot, &plain401));
    response.statusCode = 403;
    EXPECT_FALSE(IsDigestChallenge(&slot, &response));
}

TEST(DigestCredentialCheck, ExemptUrisAndExactResponse) {
    SocketSlot slot{};
    strcpy(slot.password, "secret");
    HttpMessage request{"POST", "/fp-setup", 0, "HTTP/1.1", {nullptr, nullptr, 0}, nullptr, 0};
    EXPECT_TRUE(CheckDigestCredentials(&slot, &request));
    request.second = "/play";
    EXPECT_FALSE(CheckDigestCredentials(&slot, &request));

    std::string good = ToolDigestResponse("POST", "/play", "AirPlay", "anyone", "secret", "n1");
    std::string header = "Digest username=\"anyone\", realm=\"AirPlay\", nonce=\"n1\", "
                         "uri=\"/play\", response=\"" +
                         good + "\"";
    std::string upper = header;
    for (size_t at = upper.find(good); at < upper.find(good) + 32; at++)
        upper[at] = (char)toupper(upper[at]);
    const char *name = "Authorization";
    const char *value = upper.c_str();
    request.headers = {&name, &value, 1};
    EXPECT_FALSE(CheckDigestCredentials(&slot, &request)) << "upper-case digits do not match";
    std::string noNonce =
        "Digest username=\"anyone\", realm=\"AirPlay\", uri=\"/play\", response=\"" + good + "\"";
    value = noNonce.c_str();
    EXPECT_FALSE(CheckDigestCredentials(&slot, &request));
    value = header.c_str();
    EXPECT_TRUE(CheckDigestCredentials(&slot, &request));
    EXPECT_EQ(slot.peerAuthenticated, 1);
    request.headers.count = 0;
    EXPECT_TRUE(CheckDigestCredentials(&slot, &request)) << "an authenticated peer stays so";
}

// ---- the client role over a real connection ----

struct Seen {
    std::mutex lock;
    std::vector<std::string> events;
    void Add(const std::string &e) {
        std::lock_guard<std::mutex> hold(lock);
        events.push_back(e);
    }
    size_t Count() {
        std::lock_guard<std::mutex> hold(lock);
        return events.size();
    }
};
void SeenResponse(SocketSet *, int, const HttpMessage *m, void *user) {
    ((Seen *)user)->Add("resp " + std::to_string(m->statusCode));
}
void SeenRequest(SocketSet *, int, const HttpMessage *m, void *user) {
    ((Seen *)user)->Add(std::string("req ") + m->first + " " + m->second);
}
void SeenPassword(SocketSet *, int, char *buffer, int size, int retried, void *user) {
    ((Seen *)user)
        ->Add("pw " + std::string(buffer ? "buffer" : "none") + " " + std::to_string(size) + " " +
              std::to_string(retried));
}

struct ClientFixture {
    Seen seen;
    SocketSet *set = nullptr;
    LoopbackListener listener;
    int peer = -1;

    bool Open(const char *password) {
        set = SocketSetCreate();
        set->onReceived = HttpDispatch;
        set->onResponse = SeenResponse;
        set->onRequest = SeenRequest;
        set->onPasswordNeeded = SeenPassword;
        set->user = &seen;
        if (password) strcpy(set->password, password);
        if (!SocketSetOpen(set, "127.0.0.1", 0, listener.port, TcpConnect, 1, 1)) return false;
        peer = listener.Accept();
        return peer >= 0 &&
               WaitUntil([&] { return SocketSetFindSlot(set, 1)->ready.load() == 1; }, 5000);
    }
    void Challenge(const std::string &realm, const std::string &nonce) {
        std::string reply = "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"" +
                            realm + "\", nonce=\"" + nonce + "\"\r\nContent-Length: 0\r\n\r\n";
        SendAll(peer, reply.data(), reply.size());
    }
    ~ClientFixture() {
        if (peer >= 0) close(peer);
        SocketSetFree(set);
    }
};

TEST(DigestClient, StoredPasswordAnswersChallengeForStreamXml) {
    ClientFixture f;
    ASSERT_TRUE(f.Open("hunter2"));
    const char *names[] = {"User-Agent"};
    const char *values[] = {"AirPlay/150.33"};
    HeaderList headers{names, values, 1};
    SendHttpRequest(f.set, "GET", "/stream.xml", "HTTP/1.1", &headers, nullptr, 0, 1);
    ASSERT_NE(ReadHttpMessage(f.peer), "");
    f.Challenge("AirPlay", "MTM2MDgyMjM3Ng==");
    std::string resent = ReadHttpMessage(f.peer);
    ASSERT_NE(resent, "");
    std::string expected = ToolDigestResponse("GET", "/stream.xml", "AirPlay", "iTunes", "hunter2",
                                              "MTM2MDgyMjM3Ng==");
    ASSERT_EQ(expected.size(), 32u);
    EXPECT_EQ(resent, "GET /stream.xml HTTP/1.1\r\nUser-Agent: AirPlay/150.33\r\n"
                      "Authorization: Digest username=\"iTunes\", realm=\"AirPlay\", "
                      "nonce=\"MTM2MDgyMjM3Ng==\", uri=\"/stream.xml\", response=\"" +
                          expected + "\"\r\nContent-Length: 0\r\n\r\n");
    std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    SendAll(f.peer, ok.data(), ok.size());
    ASSERT_TRUE(WaitUntil([&] { return f.seen.Count() >= 1; }, 5000));
    EXPECT_EQ(f.seen.events, std::vector<std::string>{"resp 200"});

    // A later challenge on the slot counts as a refusal: the owner is asked again, and the
    // resend replaces the stored Authorization header instead of adding a second one.
    SendHttpRequest(f.set, "GET", "/stream.xml", "HTTP/1.1", &headers, nullptr, 0, 1);
    ASSERT_NE(ReadHttpMessage(f.peer), "");
    f.Challenge("AirPlay", "second");
    ASSERT_TRUE(WaitUntil([&] { return f.seen.Count() >= 2; }, 5000));
    EXPECT_EQ(f.seen.events[1], "pw buffer 64 1");
    SetDigestPassword(f.set, "hunter2");
    std::string again = ReadHttpMessage(f.peer);
    ASSERT_NE(again, "");
    EXPECT_EQ(again.find("Authorization"), again.rfind("Authorization"));
    EXPECT_EQ(ParameterOf(HeaderOf(again, "Authorization"), "nonce"), "second");
}

// The owner hands over a password (the user's answer, a stored one) while the receive thread
// answers a challenge and the owner's thread sends: all three touch the slot's last request and
// its Authorization header, and none may see the others' half-done change.
TEST(DigestClient, PasswordHandedOverWhileChallengesAreAnswered) {
    ClientFixture f;
    ASSERT_TRUE(f.Open("hunter2"));
    std::atomic<bool> done{false};
    std::thread owner([&] {
        while (!done.load())
            SetDigestPassword(f.set, "hunter2");
    });
    for (int i = 0; i < 1000; i++) {
        SendHttpRequest(f.set, "GET", "/stream.xml", "HTTP/1.1", nullptr, nullptr, 0, 1);
        f.Challenge("AirPlay", "n" + std::to_string(i));
        // Whatever was sent meanwhile (the request, resends) is read and dropped.
        while (!ReadHttpMessage(f.peer, 1).empty()) {
        }
    }
    done = true;
    owner.join();
    while (!ReadHttpMessage(f.peer, 200).empty()) {
    }
    // The set still works: a challenge answered with the password handed over now, in one
    // whole message with one Authorization header.
    SendHttpRequest(f.set, "GET", "/stream.xml", "HTTP/1.1", nullptr, nullptr, 0, 1);
    ASSERT_NE(ReadHttpMessage(f.peer), "");
    size_t asked = f.seen.Count();
    f.Challenge("AirPlay", "final");
    // Answered with the password the slot holds, or (after a refusal) by asking the owner.
    std::string last = ReadHttpMessage(f.peer, 500);
    if (last.empty()) {
        ASSERT_TRUE(WaitUntil([&] { return f.seen.Count() > asked; }, 5000));
        SetDigestPassword(f.set, "hunter2");
        last = ReadHttpMessage(f.peer);
    }
    EXPECT_EQ(last.find("Authorization"), last.rfind("Authorization")) << last;
    EXPECT_EQ(ParameterOf(HeaderOf(last, "Authorization"), "response"),
              ToolDigestResponse("GET", "/stream.xml", "AirPlay", "iTunes", "hunter2", "final"))
        << last;
}

TEST(DigestClient, AskedForPasswordThenRefusedAsksAgainWithRetry) {
    ClientFixture f;
    ASSERT_TRUE(f.Open(nullptr));
    SendHttpRequest(f.set, "OPTIONS", "*", "RTSP/1.0", nullptr, nullptr, 0, 1);
    ASSERT_NE(ReadHttpMessage(f.peer), "");
    f.Challenge("raop", "0123456789abcdef0123456789abcdef");
    ASSERT_TRUE(WaitUntil([&] { return f.seen.Count() == 1; }, 5000));
    EXPECT_EQ(f.seen.events[0], "pw buffer 64 0");

    SetDigestPassword(f.set, "wrong");
    std::string resent = ReadHttpMessage(f.peer);
    EXPECT_EQ(ParameterOf(HeaderOf(resent, "Authorization"), "response"),
              ToolDigestResponse("OPTIONS", "*", "raop", "iTunes", "wrong",
                                 "0123456789abcdef0123456789abcdef"));
    f.Challenge("raop", "feed");
    ASSERT_TRUE(WaitUntil([&] { return f.seen.Count() == 2; }, 5000));
    EXPECT_EQ(f.seen.events[1], "pw buffer 64 1");
    SocketSlot *slot = SocketSetFindSlot(f.set, 1);
    EXPECT_EQ(std::string(slot->password, 64), std::string(64, '\0'));
    EXPECT_STREQ(slot->nonce, "feed");

    // No password: nothing is resent and the set's password is cleared.
    SetDigestPassword(f.set, nullptr);
    EXPECT_EQ(f.set->password[0], 0);
    EXPECT_EQ(ReadHttpMessage(f.peer, 300), "");

    // A 401 without a challenge header is an ordinary response.
    std::string plain = "RTSP/1.0 401 Unauthorized\r\nContent-Length: 0\r\n\r\n";
    SendAll(f.peer, plain.data(), plain.size());
    ASSERT_TRUE(WaitUntil([&] { return f.seen.Count() == 3; }, 5000));
    EXPECT_EQ(f.seen.events[2], "resp 401");
}

TEST(DigestServer, RefusesRequestWithoutCredentialsWithFreshChallenge) {
    ClientFixture f;
    ASSERT_TRUE(f.Open("pin"));
    std::string request = "GET /play HTTP/1.1\r\nContent-Length: 0\r\n\r\n";
    SendAll(f.peer, request.data(), request.size());
    std::string answer = ReadHttpMessage(f.peer);
    std::regex challenge("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"AirPlay\", "
                         "nonce=\"[0-9a-f]{32}\"\r\nContent-Length: 0\r\n\r\n");
    EXPECT_TRUE(std::regex_match(answer, challenge)) << answer;
    ASSERT_TRUE(WaitUntil([&] { return f.seen.Count() == 1; }, 5000));
    EXPECT_EQ(f.seen.events[0], "pw none 0 0");

    std::string exempt = "POST /fp-setup HTTP/1.1\r\nContent-Length: 0\r\n\r\n";
    SendAll(f.peer, exempt.data(), exempt.size());
    ASSERT_TRUE(WaitUntil([&] { return f.seen.Count() == 2; }, 5000));
    EXPECT_EQ(f.seen.events[1], "req POST /fp-setup");
}

// ---- against curl ----

bool HaveCurl() {
    int code = -1;
    RunCommand("curl --version >/dev/null 2>&1", &code);
    return code == 0;
}

std::string CurlCommand(uint16_t port, const std::string &user, const std::string &password,
                        const std::string &uri) {
    return "curl -s -o /dev/null -w '%{http_code}' --noproxy '*' --max-time 10 --digest -u '" +
           user + ":" + password + "' 'http://127.0.0.1:" + std::to_string(port) + uri + "'";
}

// Serves curl once: answers its first request with the challenge and returns the
// Authorization header of the request that follows.
std::string CaptureCurlAuthorization(const std::string &realm, const std::string &nonce,
                                     const std::string &user, const std::string &password,
                                     const std::string &method, const std::string &uri) {
    LoopbackListener listener;
    std::string status;
    std::string command = CurlCommand(listener.port, user, password, uri);
    if (method != "GET") command += " -X " + method;
    std::thread client([&] { status = RunCommand(command); });
    std::string authorization;
    int fd = listener.Accept();
    if (fd >= 0) {
        std::string first = ReadHttpMessage(fd);
        std::string reply = "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"" +
                            realm + "\", nonce=\"" + nonce + "\"\r\nContent-Length: 0\r\n\r\n";
        SendAll(fd, reply.data(), reply.size());
        std::string second = ReadHttpMessage(fd);
        if (second.empty()) { // curl chose a new connection
            close(fd);
            fd = listener.Accept();
            if (fd >= 0) second = ReadHttpMessage(fd);
        }
        authorization = HeaderOf(second, "Authorization");
        std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
        if (fd >= 0) SendAll(fd, ok.data(), ok.size());
    }
    client.join();
    if (fd >= 0) close(fd);
    return authorization;
}

TEST(DigestAgainstCurl, ClientAuthorizationMatchesCurlDigitForDigit) {
    if (!HaveCurl()) GTEST_SKIP() << "curl is not installed";
    struct Case {
        const char *realm, *nonce, *password, *method, *uri;
    } cases[] = {
        {"AirPlay", "MTM2MDgyMjM3Ng==", "1234", "GET", "/stream.xml"},
        {"raop", "4f1a9c0e77b24d1b8a5d3c6e2f7b8a90", "p@ss word", "GET", "/info"},
        {"Living Room", "abc", "x", "POST", "/stream"},
        {"AirPlay", "00000000", "longer-password-with-dashes", "GET", "/a/b.xml?x=1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.realm) + " " + c.nonce + " " + c.uri);
        std::string curlHeader =
            CaptureCurlAuthorization(c.realm, c.nonce, "iTunes", c.password, c.method, c.uri);
        ASSERT_NE(curlHeader, "") << "curl sent no Authorization";
        EXPECT_EQ(curlHeader.find("qop"), std::string::npos) << "no qop was offered";
        std::string curlResponse = ParameterOf(curlHeader, "response");
        ASSERT_EQ(curlResponse.size(), 32u) << curlHeader;

        ClientFixture f;
        ASSERT_TRUE(f.Open(c.password));
        SendHttpRequest(f.set, c.method, c.uri, "HTTP/1.1", nullptr, nullptr, 0, 1);
        ASSERT_NE(ReadHttpMessage(f.peer), "");
        f.Challenge(c.realm, c.nonce);
        std::string ours = HeaderOf(ReadHttpMessage(f.peer), "Authorization");
        ASSERT_NE(ours, "");
        EXPECT_EQ(ParameterOf(ours, "response"), curlResponse);
        EXPECT_EQ(ParameterOf(ours, "uri"), ParameterOf(curlHeader, "uri"));
        EXPECT_EQ(ParameterOf(ours, "username"), ParameterOf(curlHeader, "username"));
        EXPECT_EQ(ParameterOf(ours, "nonce"), ParameterOf(curlHeader, "nonce"));
        EXPECT_EQ(ParameterOf(ours, "realm"), ParameterOf(curlHeader, "realm"));
    }
}

// Copies bytes both ways between two sockets until one side closes or the time is up.
void Relay(int a, int b, int timeoutMs) {
    int64_t deadline = MonotonicNanos() + (int64_t)timeoutMs * 1000000;
    char buffer[65536];
    while (MonotonicNanos() < deadline) {
        pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        if (poll(fds, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; i++) {
            if (!fds[i].revents) continue;
            ssize_t got = recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (got <= 0 || !SendAll(fds[1 - i].fd, buffer, (size_t)got)) return;
        }
    }
}

void AnswerOk(SocketSet *set, int key, const HttpMessage *, void *user) {
    ((Seen *)user)->Add("ok");
    std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    (void)SocketSetSend(set, ok.data(), ok.size(), key);
}

// curl's requests reach a set's slot through a relay; returns curl's final status code.
std::string CurlAgainstServer(const char *slotPassword, const std::string &curlPassword,
                              Seen *seen) {
    SocketSet *set = SocketSetCreate();
    set->onReceived = HttpDispatch;
    set->onRequest = AnswerOk;
    set->onPasswordNeeded = SeenPassword;
    set->user = seen;
    strcpy(set->password, slotPassword);
    LoopbackListener forSet, forCurl;
    std::string status = "no connection";
    if (SocketSetOpen(set, "127.0.0.1", 0, forSet.port, TcpConnect, 1, 1)) {
        int setSide = forSet.Accept();
        std::thread client([&] {
            status = RunCommand(CurlCommand(forCurl.port, "iTunes", curlPassword, "/play"));
        });
        int curlSide = forCurl.Accept();
        if (setSide >= 0 && curlSide >= 0) Relay(setSide, curlSide, 10000);
        client.join();
        if (setSide >= 0) close(setSide);
        if (curlSide >= 0) close(curlSide);
    }
    SocketSetFree(set);
    return status;
}

TEST(DigestAgainstCurl, ServerAcceptsCurlCredentialsAndRefusesWrongOnes) {
    if (!HaveCurl()) GTEST_SKIP() << "curl is not installed";
    Seen right;
    EXPECT_EQ(CurlAgainstServer("s3cret", "s3cret", &right), "200");
    EXPECT_EQ(right.events, (std::vector<std::string>{"pw none 0 0", "ok"}));

    Seen wrong;
    EXPECT_EQ(CurlAgainstServer("s3cret", "S3cret", &wrong), "401");
    ASSERT_FALSE(wrong.events.empty());
    for (const std::string &e : wrong.events)
        EXPECT_EQ(e, "pw none 0 0");
}

} // namespace
