// Discovery against real mDNS peers. Run by discovery_ns.sh inside the program's namespace of a
// veth pair; the receivers are announced from the other namespace (NS_RX, its bus NS_RX_BUS).
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "base/clock.h"
#include "base/log.h"
#include "discovery/discovery.h"
#include "net/network_monitor.h"
#include "plist/cfvalue.h"
#include "tests/support/child_process.h"

namespace {

const char *Env(const char *name) {
    const char *value = getenv(name);
    return value ? value : "";
}

// An avahi-publish in the receivers' namespace, with their bus and PATH as its only
// environment; withdrawn when ended (EndChild).
pid_t Publish(const std::vector<std::string> &arguments) {
    std::vector<std::string> all = {"env",
                                    "-i",
                                    std::string("DBUS_SYSTEM_BUS_ADDRESS=") + Env("NS_RX_BUS"),
                                    std::string("PATH=") + Env("PATH"),
                                    "ip",
                                    "netns",
                                    "exec",
                                    Env("NS_RX"),
                                    "avahi-publish",
                                    "-s"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return SpawnChild(all, {.out = "/dev/null", .err = "/dev/null"});
}

// Runs the owner thread's part until done() holds; false at the deadline.
bool Pump(const std::function<bool()> &done, int timeoutMs) {
    int64_t end = MonotonicNanos() + (int64_t)timeoutMs * 1000000;
    for (;;) {
        DiscoveryProcessEvents();
        if (done()) return true;
        int64_t left = end - MonotonicNanos();
        if (left <= 0) return false;
        pollfd p{DiscoveryNotifyFd(), POLLIN, 0};
        poll(&p, 1, (int)std::min<int64_t>(left / 1000000 + 1, 200));
    }
}

std::string Names() {
    std::string out;
    for (uint32_t i = 0; i < CFArrayCount(ServiceList); i++) {
        if (i) out += ",";
        out += CFStringText(CFArrayGet(ServiceList, i));
    }
    return out;
}

int32_t IndexOfName(const char *name) {
    for (uint32_t i = 0; i < CFArrayCount(ServiceList); i++)
        if (!strcmp(CFStringText(CFArrayGet(ServiceList, i)), name)) return (int32_t)i;
    return -1;
}

struct Resolved {
    std::string address;
    std::string deviceId;
    int password = -1;
};

Resolved Resolve(const char *name) {
    Resolved r;
    char id[64];
    uint8_t flag = 0;
    CFValue *address = ResolveAirPlayService(name, id, &flag);
    if (address) {
        r.address = CFStringText(address);
        r.password = flag;
    }
    r.deviceId = id;
    CFValueRelease(address);
    return r;
}

class DiscoveryNs : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!*Env("NS_RX")) GTEST_SKIP() << "run through discovery_ns.sh";
    }
    void TearDown() override {
        for (pid_t p : published)
            EndChild(p);
        DiscoveryShutdown();
    }
    pid_t Announce(const std::vector<std::string> &arguments) {
        pid_t pid = Publish(arguments);
        published.push_back(pid);
        return pid;
    }
    std::vector<pid_t> published;
};

std::string Speakers() {
    std::string out;
    for (uint32_t i = 0; i < CFArrayCount(SpeakerList); i++) {
        if (i) out += ",";
        out += CFStringText(CFArrayGet(SpeakerList, i));
    }
    return out;
}

// A sound service is a speaker unless a receiver has its hardware address, whatever the
// names; its record says what it plays and whether it wants encryption; a withdrawn speaker
// leaves the list.
TEST_F(DiscoveryNs, SpeakersAreSoundServicesNoReceiverOwns) {
    Announce({"Den", "_airplay._tcp", "7000", "deviceid=58:55:CA:1A:E2:88"});
    Announce({"5855CA1AE288@Den Audio", "_raop._tcp", "47001", "cn=0,1", "et=0"});
    pid_t kitchen = Announce({"AABBCCDDEEFF@Kitchen", "_raop._tcp", "5000", "cn=0,1", "et=0,4"});
    Announce({"112233445566@locked", "_raop._tcp", "5001", "cn=1", "et=1", "pw=true"});
    DiscoveryStart();
    const std::string want = "AABBCCDDEEFF@Kitchen,112233445566@locked";
    ASSERT_TRUE(Pump(
        [&] {
            return Speakers() == want && SpeakerFormat("AABBCCDDEEFF@Kitchen").known &&
                   SpeakerFormat("112233445566@locked").known && CFArrayCount(ServiceList) == 1;
        },
        15000))
        << Speakers();
    RaopFormat kitchenFormat = SpeakerFormat("AABBCCDDEEFF@Kitchen");
    EXPECT_EQ(kitchenFormat.codec, kRaopCodecAlac);
    EXPECT_EQ(kitchenFormat.encryptedOnly, 0);
    EXPECT_EQ(SpeakerFormat("112233445566@locked").encryptedOnly, 1);
    EXPECT_EQ(AudioServiceCodec("5855ca1ae288"), kRaopCodecAlac) << "the receiver's own record";

    char id[64];
    uint8_t password = 9;
    uint16_t port = 0;
    RaopFormat format{};
    CFValue *address = ResolveSpeaker("112233445566@locked", id, &password, &port, &format);
    ASSERT_NE(address, nullptr);
    EXPECT_STREQ(CFStringText(address), "10.78.0.2");
    CFValueRelease(address);
    EXPECT_STREQ(id, "112233445566");
    EXPECT_EQ(password, 1);
    EXPECT_EQ(port, 5001);
    EXPECT_EQ(format.encryptedOnly, 1);

    SelectedSpeakerIndex = 1;
    EndChild(kitchen);
    ASSERT_TRUE(Pump([&] { return Speakers() == "112233445566@locked"; }, 15000)) << Speakers();
    EXPECT_EQ(SelectedSpeakerIndex, 0) << "the selection follows its name";
}

TEST_F(DiscoveryNs, ListsPairsResolvesAndFollowsTheSelection) {
    pid_t kitchen = Announce({"kitchen", "_airplay._tcp", "7000", "deviceid=58:55:CA:1A:E2:88",
                              "pw=true", "model=Test1,1"});
    Announce({"5855CA1AE288@kitchen", "_raop._tcp", "47001", "pw=true"});
    pid_t bath =
        Announce({"Bath", "_airplay._tcp", "7000", "deviceid=AA:BB:CC:00:11:22", "pw=0", "pin=1"});
    Announce({"Attic", "_airplay._tcp", "7000", "deviceid=AA:00:00:00:00:01", "pw=false"});
    DiscoveryStart();
    // The audio service may be announced a moment after the receivers.
    ASSERT_TRUE(Pump(
        [] {
            return CFArrayCount(ServiceList) == 3 &&
                   CFDictionaryFindText(AudioServiceMap, "5855ca1ae288");
        },
        15000))
        << Names();
    EXPECT_EQ(Names(), "Attic,Bath,kitchen");
    bool embedded = !strcmp(Env("DISCOVERY_EXPECT_EMBEDDED"), "1");
    EXPECT_EQ(DiscoveryUsesEmbeddedResponder(), embedded);

    Resolved k = Resolve("kitchen");
    EXPECT_EQ(k.address, "10.78.0.2");
    EXPECT_EQ(k.deviceId, "5855ca1ae288");
    EXPECT_EQ(k.password, 1);
    EXPECT_EQ(AudioServicePort(k.deviceId.c_str()), 47001);
    EXPECT_TRUE(CFValueIsKind(CFDictionaryFindText(AudioServiceMap, "5855ca1ae288"), kCFNumber));
    EXPECT_EQ(AudioServicePort("5855CA1AE288"), 47001); // from the map, any case
    Resolved b = Resolve("Bath");
    EXPECT_EQ(b.address, "10.78.0.2");
    EXPECT_EQ(b.password, 1); // pin=1
    EXPECT_EQ(AudioServicePort(b.deviceId.c_str()), 49152);
    EXPECT_EQ(Resolve("Attic").password, 0);

    // The connected receiver stays marked while others come and go, and is unmarked when it
    // goes itself.
    SelectedReceiverIndex = IndexOfName("kitchen");
    EndChild(bath);
    ASSERT_TRUE(Pump([] { return CFArrayCount(ServiceList) == 2; }, 15000)) << Names();
    EXPECT_EQ(Names(), "Attic,kitchen");
    EXPECT_EQ(SelectedReceiverIndex, 1);
    EndChild(kitchen);
    ASSERT_TRUE(Pump([] { return CFArrayCount(ServiceList) == 1; }, 15000)) << Names();
    EXPECT_EQ(SelectedReceiverIndex, -1);

    // Two restarts: the lists are rebuilt, and at most one responder was ever started.
    SelectedReceiverIndex = 0; // Attic
    uint64_t before = DiscoveryGeneration();
    DiscoveryRestart(nullptr);
    ASSERT_TRUE(Pump([&] { return DiscoveryGeneration() == before + 1; }, 10000));
    DiscoveryRestart(nullptr);
    ASSERT_TRUE(Pump(
        [&] { return DiscoveryGeneration() == before + 2 && IndexOfName("Attic") == 0; }, 15000))
        << Names();
    EXPECT_EQ(SelectedReceiverIndex, 0); // carried over the restarts with its name
    EXPECT_EQ(EmbeddedResponderStarts(), embedded ? 1 : 0);
}

// Asks discovery_ns.sh for a step (a file in NS_SIGNALS) and waits until it is done, while
// the owner thread goes on handling what discovery reports.
bool AskScript(const char *step, const char *done) {
    std::string dir = Env("NS_SIGNALS");
    FILE *f = fopen((dir + "/" + step).c_str(), "w");
    if (!f) return false;
    fclose(f);
    std::string path = dir + "/" + done;
    return Pump([&] { return access(path.c_str(), F_OK) == 0; }, 30000);
}

// avahi-daemon stops and comes back: browsing resumes by itself, what went away meanwhile
// is gone from the list, what came meanwhile is in it, and names resolve again.
TEST_F(DiscoveryNs, BrowsingResumesAfterTheDaemonRestarts) {
    if (!*Env("NS_SIGNALS")) GTEST_SKIP() << "run through discovery_ns.sh daemon-restart";
    Announce({"kitchen", "_airplay._tcp", "7000", "deviceid=58:55:CA:1A:E2:88"});
    pid_t bath = Announce({"Bath", "_airplay._tcp", "7000", "deviceid=AA:BB:CC:00:11:22"});
    DiscoveryStart();
    ASSERT_TRUE(Pump([] { return Names() == "Bath,kitchen"; }, 15000)) << Names();
    ASSERT_FALSE(DiscoveryUsesEmbeddedResponder());

    ASSERT_TRUE(AskScript("stop", "stopped"));
    // Nothing the old daemon reported is trusted once it is gone.
    ASSERT_TRUE(Pump([] { return CFArrayCount(ServiceList) == 0; }, 5000)) << Names();
    EndChild(bath);
    Announce({"Attic", "_airplay._tcp", "7000", "deviceid=AA:00:00:00:00:01"});

    uint64_t generation = DiscoveryGeneration();
    ASSERT_TRUE(AskScript("start", "started"));
    int64_t back = MonotonicNanos();
    ASSERT_TRUE(Pump([] { return Names() == "Attic,kitchen"; }, 15000)) << Names();
    double seconds = (MonotonicNanos() - back) / 1e9;
    EXPECT_LT(seconds, 5.0) << "browsing took long to resume";
    printf("browsing resumed %.2f s after the daemon was back\n", seconds);
    EXPECT_EQ(DiscoveryGeneration(), generation) << "resumed by a restart of discovery";
    EXPECT_FALSE(DiscoveryUsesEmbeddedResponder());
    EXPECT_EQ(Resolve("Attic").address, "10.78.0.2");
}

TEST_F(DiscoveryNs, AddressChangeRestartsDiscoveryOnceAboutThreeSecondsLater) {
    Announce({"Lounge", "_airplay._tcp", "7000", "deviceid=02:00:00:00:00:07"});
    DiscoveryStart();
    ASSERT_TRUE(Pump([] { return IndexOfName("Lounge") >= 0; }, 15000));
    uint64_t before = DiscoveryGeneration();
    ASSERT_EQ(NetworkMonitorStart(DiscoveryRestart, nullptr), 1);
    int64_t changedAt = MonotonicNanos();
    ASSERT_EQ(system("ip addr add 10.78.9.1/24 dev lo"), 0);
    ASSERT_TRUE(Pump([&] { return DiscoveryGeneration() > before; }, 10000));
    double delay = (MonotonicNanos() - changedAt) / 1e9;
    EXPECT_GE(delay, 2.9);
    EXPECT_LE(delay, 6.0);
    // The new browse finds the receiver again; the change restarted discovery only once.
    ASSERT_TRUE(Pump([] { return IndexOfName("Lounge") >= 0; }, 15000));
    EXPECT_EQ(DiscoveryGeneration(), before + 1);
    NetworkMonitorStop();
    EXPECT_EQ(system("ip addr del 10.78.9.1/24 dev lo"), 0);
}

// The receivers' daemon serves HOSTILE_COUNT static services (discovery_ns.sh writes them),
// among them the names and TXT records below.
TEST_F(DiscoveryNs, HostileAnnouncementsLeaveTheProgramResponsive) {
    int expected = atoi(Env("HOSTILE_COUNT"));
    ASSERT_GT(expected, 0);
    std::string txt255(240, 'x');
    Announce({"Malformed TXT", "_airplay._tcp", "7000", "=novalue", "deviceid=\xff\xfe:ZZ", "pw",
              "pin=t" + txt255});
    std::vector<std::string> hugeTxt = {"Huge TXT", "_airplay._tcp", "7000"};
    for (int i = 0; i < 20; i++)
        hugeTxt.push_back("k" + std::to_string(i) + "=" + txt255);
    hugeTxt.push_back("deviceid=02:00:00:00:00:99");
    Announce(hugeTxt);
    DiscoveryResolveTimeoutMs = 2000;
    DiscoveryStart();
    int64_t browseStart = MonotonicNanos();
    std::string name63(63, 'N');
    const std::vector<std::string> hostileNames = {name63,
                                                   "a@b",
                                                   "back\\slash",
                                                   "dots.in.the.name",
                                                   "\xc3\x9cnic\xc3\xb6"
                                                   "de \xe5\x90\x8d\xe5\x89\x8d",
                                                   "Ghost",
                                                   "Malformed TXT"};
    // Every service must come, the hostile ones included: the count alone could be reached
    // by the huge record before one of them arrived.
    Pump(
        [&] {
            if ((int)CFArrayCount(ServiceList) < expected + 1) return false;
            for (const std::string &name : hostileNames)
                if (IndexOfName(name.c_str()) < 0) return false;
            return true;
        },
        60000);
    ASSERT_GE((int)CFArrayCount(ServiceList), expected + 1)
        << CFArrayCount(ServiceList) << " of " << expected + 1;
    printf("listed %u services in %.1f s\n", CFArrayCount(ServiceList),
           (MonotonicNanos() - browseStart) / 1e9);
    // A TXT record larger than a packet may never be announced; give it a moment.
    bool huge = Pump([] { return IndexOfName("Huge TXT") >= 0; }, 3000);
    for (const std::string &name : hostileNames)
        EXPECT_GE(IndexOfName(name.c_str()), 0) << name;
    // Sorted without regard to case.
    for (uint32_t i = 0; i + 1 < CFArrayCount(ServiceList); i++)
        EXPECT_LE(strcasecmp(CFStringText(CFArrayGet(ServiceList, i)),
                             CFStringText(CFArrayGet(ServiceList, i + 1))),
                  0);

    Resolved m = Resolve("Malformed TXT");
    EXPECT_EQ(m.address, "10.78.0.2");
    EXPECT_EQ(m.deviceId, "\xff\xfezz");
    EXPECT_EQ(m.password, 1);
    if (huge) {
        Resolved h = Resolve("Huge TXT");
        if (!h.address.empty()) EXPECT_EQ(h.deviceId, "020000000099");
    }
    Resolved d = Resolve("a@b");
    EXPECT_EQ(d.address, "10.78.0.2");
    // A host name that never resolves: the bounded wait gives up.
    int64_t start = MonotonicNanos();
    Resolved g = Resolve("Ghost");
    EXPECT_EQ(g.address, "");
    EXPECT_LT((MonotonicNanos() - start) / 1e9, 2 * DiscoveryResolveTimeoutMs / 1000.0 + 1);
    EXPECT_EQ(AudioServicePort(g.deviceId.c_str()), 49152);
    DiscoveryResolveTimeoutMs = 5000;
}

} // namespace
