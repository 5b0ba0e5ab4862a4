// The browse-reply, pairing and TXT rules on their own, without a network.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "discovery/discovery.h"
#include "plist/cfvalue.h"

namespace {

class DiscoveryLogicTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ServiceList = CFArrayNew(10);
        AudioServiceMap = CFDictionaryNew(10);
        SelectedReceiverIndex = -1;
    }
    void TearDown() override { DiscoveryShutdown(); }
    static std::string Names() {
        std::string out;
        for (uint32_t i = 0; i < CFArrayCount(ServiceList); i++) {
            if (i) out += ",";
            out += CFStringText(CFArrayGet(ServiceList, i));
        }
        return out;
    }
    static void Add(const char *name, bool more = false) {
        DiscoveryBrowseReply(kDiscoveryAdd | (more ? kDiscoveryMoreComing : 0), 0, name,
                             "_airplay._tcp.");
    }
    static void Remove(const char *name) { DiscoveryBrowseReply(0, 0, name, "_airplay._tcp."); }
};

TEST_F(DiscoveryLogicTest, BatchesSortAtTheirEndAndTheSelectionFollowsItsName) {
    Add("b");
    Add("b"); // a repeated name adds nothing
    SelectedReceiverIndex = 0;
    Add("A", true);
    EXPECT_EQ(Names(), "b,A"); // unsorted until the batch ends
    EXPECT_EQ(SelectedReceiverIndex, 0);
    Add("C");
    // Sorted without regard to case: "C" after "b" (byte order would put it before).
    EXPECT_EQ(Names(), "A,b,C");
    EXPECT_EQ(SelectedReceiverIndex, 1);
    Remove("A"); // sorts before the selection: the index follows
    EXPECT_EQ(Names(), "b,C");
    EXPECT_EQ(SelectedReceiverIndex, 0);
    Remove("nobody");
    EXPECT_EQ(Names(), "b,C");
    EXPECT_EQ(SelectedReceiverIndex, 0);
    // The selected receiver itself leaves: nothing is marked, not the one that slid up.
    Remove("b");
    EXPECT_EQ(Names(), "C");
    EXPECT_EQ(SelectedReceiverIndex, -1);
    // Errors, unknown types and a missing list are ignored.
    DiscoveryBrowseReply(kDiscoveryAdd, -1, "x", "_airplay._tcp.");
    DiscoveryBrowseReply(kDiscoveryAdd, 0, "x", "_http._tcp.");
    EXPECT_EQ(Names(), "C");
    // Suspend: no list, nothing marked, replies ignored.
    SelectedReceiverIndex = 0;
    DiscoveryForgetList();
    EXPECT_EQ(SelectedReceiverIndex, -1);
    Add("y");
    EXPECT_EQ(ServiceList, nullptr);
}

TEST_F(DiscoveryLogicTest, AudioServicesArePairedByHardwareAddress) {
    DiscoveryBrowseReply(kDiscoveryAdd, 0, "5855CA1AE288@Kitchen", "_raop._tcp.");
    DiscoveryBrowseReply(kDiscoveryAdd, 0, "@NoAddress", "_raop._tcp.");
    DiscoveryBrowseReply(kDiscoveryAdd, 0, "NoAt", "_raop._tcp.");
    std::string long64(64, 'a');
    DiscoveryBrowseReply(kDiscoveryAdd, 0, (long64 + "@Far").c_str(), "_raop._tcp.");
    std::string long63(63, 'B');
    DiscoveryBrowseReply(kDiscoveryAdd, 0, (long63 + "@Edge").c_str(), "_raop._tcp.");
    ASSERT_EQ(CFDictionaryCount(AudioServiceMap), 2u);
    EXPECT_STREQ(CFStringText(CFDictionaryFindText(AudioServiceMap, "5855ca1ae288")),
                 "5855CA1AE288@Kitchen");
    EXPECT_STREQ(CFStringText(CFDictionaryFindText(AudioServiceMap, std::string(63, 'b').c_str())),
                 (long63 + "@Edge").c_str());
    // A resolved port is answered without a query, whatever the case of the id.
    CFValue *port = CFNumberFromUnsigned(47001);
    CFDictionaryPutText(AudioServiceMap, port, "5855ca1ae288");
    CFValueRelease(port);
    EXPECT_EQ(AudioServicePort("5855CA1AE288"), 47001);
    // A receiver without an audio service is reached on 49152.
    EXPECT_EQ(AudioServicePort("unknown"), 49152);
    EXPECT_EQ(AudioServicePort(""), 49152);
}

std::vector<uint8_t> Txt(std::initializer_list<std::string> items) {
    std::vector<uint8_t> out;
    for (const std::string &item : items) {
        out.push_back((uint8_t)item.size());
        out.insert(out.end(), item.begin(), item.end());
    }
    return out;
}

uint8_t Flag(std::initializer_list<std::string> items) {
    std::vector<uint8_t> txt = Txt(items);
    return TxtPasswordFlag(txt.data(), txt.size());
}

TEST_F(DiscoveryLogicTest, TxtRecordsGiveDeviceIdAndPasswordFlag) {
    EXPECT_EQ(Flag({"pw=1"}), 1);
    EXPECT_EQ(Flag({"pw=true"}), 1);
    EXPECT_EQ(Flag({"PW=True"}), 1);
    EXPECT_EQ(Flag({"pw=0", "pin=1"}), 1);
    EXPECT_EQ(Flag({"pw=false"}), 0);
    EXPECT_EQ(Flag({"pw=", "pin"}), 0);
    EXPECT_EQ(Flag({"pwx=1", "xpw=1"}), 0);
    EXPECT_EQ(Flag({}), 0);

    char id[64];
    std::vector<uint8_t> txt = Txt({"model=x", "deviceid=58:55:CA:1A:E2:88"});
    TxtDeviceId(txt.data(), txt.size(), id);
    EXPECT_STREQ(id, "5855ca1ae288");
    txt = Txt({"deviceid=" + std::string(200, 'F')});
    TxtDeviceId(txt.data(), txt.size(), id);
    EXPECT_EQ(std::string(id), std::string(63, 'f'));
    // A length byte running past the end hides everything from there on.
    txt = Txt({"model=x"});
    txt.push_back(40);
    txt.insert(txt.end(), {'d', 'e', 'v', 'i', 'c', 'e', 'i', 'd', '=', '1'});
    TxtDeviceId(txt.data(), txt.size(), id);
    EXPECT_STREQ(id, "");
    TxtDeviceId(nullptr, 0, id);
    EXPECT_STREQ(id, "");
}

// What a sound service plays: AAC-ELD when offered, else ALAC, else PCM; "et" without 0 is
// encrypted only. Numbers are read whole (10 is not 1, 13 not 3).
TEST_F(DiscoveryLogicTest, SoundServiceRecordsGiveTheFormatToSend) {
    auto format = [](std::initializer_list<std::string> items) {
        std::vector<uint8_t> txt = Txt(items);
        RaopFormat f = TxtRaopFormat(txt.data(), txt.size());
        EXPECT_EQ(f.known, 1);
        return std::to_string(f.codec) + (f.encryptedOnly ? "e" : "");
    };
    EXPECT_EQ(format({"cn=0,1,2,3", "et=0,3,5"}), "3");
    EXPECT_EQ(format({"cn=0,1", "et=0,1"}), "1");
    EXPECT_EQ(format({"cn= 0 , 2", "et=0"}), "0");
    EXPECT_EQ(format({"cn=2"}), "-1");
    EXPECT_EQ(format({"cn=10,13,x3", "et=1"}), "-1e");
    EXPECT_EQ(format({"et=1,3"}), "3e") << "no cn: AAC-ELD, as before";
    EXPECT_EQ(format({"cn=", "et="}), "3") << "empty lists say nothing";
    EXPECT_EQ(format({}), "3");
}

} // namespace
