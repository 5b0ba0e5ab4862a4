#include <gtest/gtest.h>

#include <string>

#include "base/log.h"
#include "shell/command_line.h"
#include "tests/support/child_process.h"
#include "tests/support/private_network.h"

namespace {

HostedOptions Parse(const std::string &text) {
    HostedOptions o{false, false, "", "", 0};
    ParseCommandLine(text.c_str(), &o);
    return o;
}

TEST(CommandLine, HostKeyAndDisplaySelectHostedAndSilentMode) {
    HostedOptions o = Parse("ostrel connect?host=192.168.1.20&key=abc&display=1");
    EXPECT_TRUE(o.hosted);
    EXPECT_TRUE(o.silent);
    EXPECT_EQ("192.168.1.20", o.host);
    EXPECT_EQ("abc", o.key);
    EXPECT_EQ(1, o.display);
}

TEST(CommandLine, NothingHappensUnlessAllThreeMarkersAppear) {
    for (const char *text : {"connect?host=1.2.3.4", "host=1.2.3.4&key=x",
                             "connect?key=x&display=2", "CONNECT?host=1.2.3.4&key=x", ""}) {
        HostedOptions o = Parse(text);
        EXPECT_FALSE(o.hosted) << text;
        EXPECT_FALSE(o.silent) << text;
        EXPECT_EQ(0, o.display) << text;
    }
}

TEST(CommandLine, ValuesAreTakenAsTheyStand) {
    HostedOptions o = Parse("\"connect?host=10.0.0.9&&key=%41 b&display= -1\"");
    EXPECT_EQ("10.0.0.9", o.host);
    EXPECT_EQ("%41 b", o.key);
    EXPECT_EQ(-1, o.display);
    // A trailing quotation mark stays part of the last value.
    o = Parse("\"connect?key=k&display=2&host=10.0.0.9\"");
    EXPECT_EQ("10.0.0.9\"", o.host);
    EXPECT_EQ(2, o.display);
    EXPECT_EQ(0, Parse("connect?host=h&key=k&display=abc").display);
    EXPECT_EQ(12, Parse("connect?host=h&key=k&display=12px").display);
}

TEST(CommandLine, HwndPieceChangesNothingAndLaterPiecesOverride) {
    HostedOptions a = Parse("connect?host=10.1.1.1&key=k&display=3");
    HostedOptions b = Parse("connect?host=10.1.1.1&hwnd=123&key=k&display=3");
    EXPECT_EQ(a.host, b.host);
    EXPECT_EQ(a.key, b.key);
    EXPECT_EQ(a.display, b.display);
    HostedOptions c = Parse("connect?host=10.1.1.1&key=k&host=10.2.2.2");
    EXPECT_EQ("10.2.2.2", c.host);
    // One piece may hold more than one key.
    HostedOptions d = Parse("connect?xhost=1key=2");
    EXPECT_EQ("1key=2", d.host);
    EXPECT_EQ("2", d.key);
}

TEST(CommandLine, TextPastTheParseCopyIsCut) {
    std::string text = "connect?key=k&host=10.0.0.1&display=" + std::string(2000, '7');
    HostedOptions o = Parse(text);
    EXPECT_EQ("10.0.0.1", o.host);
    EXPECT_EQ(2147483647, o.display);
    std::string late = std::string(1100, ' ') + "connect?host=1.1.1.1&key=k";
    EXPECT_FALSE(Parse(late).hosted);
}

TEST(RouteCheck, LoopbackIsReachableAndGarbageIsRefused) {
    EXPECT_TRUE(CheckRouteToReceiver("127.0.0.1"));
    EXPECT_FALSE(CheckRouteToReceiver("not-an-address"));
    EXPECT_FALSE(CheckRouteToReceiver(nullptr));
}

} // namespace

#include <sys/wait.h>
#include <unistd.h>

namespace {

// In a fresh network namespace with only loopback up there is no route off the machine.
TEST(RouteCheck, NoRouteWithoutAnInterfaceToTheReceiver) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!EnterPrivateNetwork()) _exit(77);
        LogOutputMode = 7; // quiet
        bool loop = CheckRouteToReceiver("127.0.0.1");
        bool away = CheckRouteToReceiver("10.99.0.1");
        _exit(loop && !away ? 0 : 1);
    }
    int status = EndChild(child, 0, 20000);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "network namespaces are not available";
    EXPECT_EQ(0, WEXITSTATUS(status));
}

} // namespace
