#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <net/if_arp.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "mirroring/device_id.h"
#include "plist/cfvalue.h"
#include "test_support.h"

namespace {

AdapterRecord Adapter(const char *name, const char *ipv4, long type, uint8_t last) {
    AdapterRecord a{};
    snprintf(a.name, sizeof a.name, "%s", name);
    const uint8_t mac[6] = {0x60, 0xC5, 0x47, 0x4B, 0xE2, last};
    memcpy(a.address, mac, 6);
    a.addressLength = 6;
    snprintf(a.ipv4, sizeof a.ipv4, "%s", ipv4);
    a.type = type;
    return a;
}

std::string Choose(const std::vector<AdapterRecord> &list) {
    char *mac = ChooseMacAddressFrom(list.data(), (int)list.size());
    std::string text = mac ? mac : "(none)";
    free(mac);
    return text;
}

TEST(DeviceIdChoiceTest, UnconnectedEthernetIsPassedOverForLaterWireless) {
    LogCapture log;
    EXPECT_EQ("60C5474BE2A2", Choose({Adapter("eth0", "0.0.0.0", kAdapterTypeEthernet, 0xA1),
                                      Adapter("wlan0", "192.168.1.7", kAdapterTypeWireless, 0xA2)}));
    EXPECT_EQ(" Address: 0.0.0.0, MAC: 60C5474BE2A1"
              "\n Invalid IP address. Look for new Mac source.\r\n"
              " Address: 192.168.1.7, MAC: 60C5474BE2A2"
              ", Adapter type: "
              "IEEE 802.11 (Wireless)\r\n"
              " Going with this MAC: 60C5474BE2A2 \r\n",
              log.Text());
}

TEST(DeviceIdChoiceTest, InvalidAddressesAreSkippedWhateverTheType) {
    EXPECT_EQ("60C5474BE203", Choose({Adapter("v0", "169.254.80.80", kAdapterTypeEthernet, 1),
                                      Adapter("lo", "127.0.0.1", kAdapterTypeEthernet, 2),
                                      Adapter("eth1", "10.0.0.2", kAdapterTypeEthernet, 3)}));
    // Only those exact texts are invalid: other link-local addresses are usable.
    EXPECT_EQ("60C5474BE204", Choose({Adapter("v1", "169.254.80.81", kAdapterTypeEthernet, 4)}));
}

TEST(DeviceIdChoiceTest, FirstQualifyingAdapterWinsInListOrder) {
    EXPECT_EQ("60C5474BE20B", Choose({Adapter("wlan0", "10.0.0.5", kAdapterTypeWireless, 0x0B),
                                      Adapter("eth0", "10.0.0.6", kAdapterTypeEthernet, 0x0C)}));
    EXPECT_EQ("60C5474BE20C", Choose({Adapter("eth0", "10.0.0.6", kAdapterTypeEthernet, 0x0C),
                                      Adapter("wlan0", "10.0.0.5", kAdapterTypeWireless, 0x0B)}));
}

TEST(DeviceIdChoiceTest, OtherTypesAreNamedAndRejected) {
    LogCapture log;
    std::vector<AdapterRecord> list = {
        Adapter("o", "10.1.0.1", kAdapterTypeOther, 1),    Adapter("t", "10.1.0.2", 9, 2),
        Adapter("f", "10.1.0.3", 15, 3),                   Adapter("p", "10.1.0.4", 23, 4),
        Adapter("l", "10.1.0.5", kAdapterTypeLoopback, 5), Adapter("s", "10.1.0.6", 28, 6),
        Adapter("u", "10.1.0.7", 53, 7)};
    EXPECT_EQ("(none)", Choose(list));
    std::string text = log.Text();
    for (const char *name : {"Other\r\n", "Token Ring\r\n", "FDDI\r\n", "PPP\r\n", "Lookback\r\n",
                             "Slip\r\n", "Unknown type 53 \r\n"})
        EXPECT_NE(std::string::npos, text.find(std::string(", Adapter type: ") + name)) << name;
    size_t rejections = 0;
    for (size_t at = 0; (at = text.find(" Invalid MAC source. Try again.\r\n", at)) != std::string::npos;
         at++)
        rejections++;
    EXPECT_EQ(list.size(), rejections);
    EXPECT_EQ(std::string::npos, text.find("Going with"));
}

TEST(DeviceIdChoiceTest, OddRecordsAreHandledSafely) {
    EXPECT_EQ("(none)", Choose({}));
    // No hardware address: the MAC text is all zeros rather than stale bytes.
    AdapterRecord bare = Adapter("tun0", "10.2.0.1", kAdapterTypeEthernet, 9);
    bare.addressLength = 0;
    EXPECT_EQ("000000000000", Choose({bare}));
    // An address field without a terminator is read within its bounds.
    AdapterRecord full = Adapter("eth9", "", kAdapterTypeEthernet, 0x77);
    memset(full.ipv4, '1', sizeof full.ipv4);
    EXPECT_EQ("60C5474BE277", Choose({full}));
}

TEST(DeviceIdTextTest, HexLettersAreLoweredAfterThePrefix) {
    char out[32];
    ASSERT_EQ(1, MakeDeviceIdText("60C54748E2AF", out, sizeof out));
    EXPECT_STREQ("0x60c54748e2af", out);
    ASSERT_EQ(1, MakeDeviceIdText("0123456789BD", out, 15));
    EXPECT_STREQ("0x0123456789bd", out);
    EXPECT_EQ(0, MakeDeviceIdText("0123456789BD", out, 14));
}

TEST(DeviceIdFallbackTest, DerivedAddressIsStableLocalAndUnicast) {
    const char *ids[] = {"3d1219c7c4c5404aaa1f6d2a48adfda4", "00000000000000000000000000000000",
                         "ffffffffffffffffffffffffffffffff", "", "a"};
    uint8_t previous[6] = {};
    for (const char *id : ids) {
        uint8_t a[6], b[6];
        DeriveMacFromMachineId(id, strlen(id), a);
        DeriveMacFromMachineId(id, strlen(id), b);
        EXPECT_EQ(0, memcmp(a, b, 6)) << id;
        EXPECT_EQ(0x02, a[0] & 0x03) << id; // locally administered, not multicast
        EXPECT_NE(0, memcmp(a, previous, 6)) << id;
        memcpy(previous, a, 6);
    }
}

TEST(DeviceIdFallbackTest, LinkTypesMapToAdapterTypes) {
    EXPECT_EQ(kAdapterTypeEthernet, AdapterTypeFromLinkType(ARPHRD_ETHER, false));
    EXPECT_EQ(kAdapterTypeWireless, AdapterTypeFromLinkType(ARPHRD_ETHER, true));
    EXPECT_EQ(kAdapterTypeLoopback, AdapterTypeFromLinkType(ARPHRD_LOOPBACK, false));
    EXPECT_EQ(kAdapterTypePpp, AdapterTypeFromLinkType(ARPHRD_PPP, false));
    EXPECT_EQ(kAdapterTypeOther, AdapterTypeFromLinkType(ARPHRD_NONE, false));
}

std::string HardwareAddressText(const char *name) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq req{};
    snprintf(req.ifr_name, sizeof req.ifr_name, "%s", name);
    std::string text;
    if (ioctl(fd, SIOCGIFHWADDR, &req) == 0) {
        char buf[16];
        const uint8_t *b = (const uint8_t *)req.ifr_hwaddr.sa_data;
        snprintf(buf, sizeof buf, "%02X%02X%02X%02X%02X%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
        text = buf;
    }
    close(fd);
    return text;
}

class DeviceIdMachineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!EnterPrivateNetwork()) GTEST_SKIP() << "needs CAP_SYS_ADMIN for a network namespace";
    }
    void Run(const std::string &cmd) { ASSERT_EQ(0, system(cmd.c_str())) << cmd; }
};

TEST_F(DeviceIdMachineTest, VethWithAddressIsChosenOverLoopbackAndUnaddressedPeer) {
    Run("ip link add ostdid0 type veth peer name ostdid1");
    Run("ip addr add 10.79.3.1/24 dev ostdid0");
    Run("ip link set ostdid0 up");
    AdapterRecord *list = nullptr;
    int count = OvListAdapters(&list);
    ASSERT_EQ(3, count);
    EXPECT_STREQ("lo", list[0].name);
    EXPECT_STREQ("127.0.0.1", list[0].ipv4);
    EXPECT_EQ(kAdapterTypeLoopback, list[0].type);
    for (int i = 1; i < 3; i++) {
        EXPECT_EQ(kAdapterTypeEthernet, list[i].type) << list[i].name;
        EXPECT_EQ(6, list[i].addressLength);
        EXPECT_STREQ(strcmp(list[i].name, "ostdid0") == 0 ? "10.79.3.1" : "0.0.0.0", list[i].ipv4);
    }
    free(list);

    LogCapture log;
    char *mac = ChooseMacAddress();
    ASSERT_NE(nullptr, mac);
    std::string want = HardwareAddressText("ostdid0");
    ASSERT_EQ(12u, want.size());
    EXPECT_EQ(want, mac);
    free(mac);
    EXPECT_TRUE(log.Contains(" Address: 127.0.0.1, MAC: 000000000000\n Invalid IP address."));
    EXPECT_TRUE(log.Contains(" Going with this MAC: " + want + " \r\n"));

    CFValue *id = DeviceIdCreate();
    ASSERT_NE(nullptr, id);
    std::string lower = want;
    for (char &ch : lower) ch = (char)tolower((unsigned char)ch);
    EXPECT_EQ("0x" + lower, CFStringText(id));
    CFValueRelease(id);
    Run("ip link del ostdid0");
}

TEST_F(DeviceIdMachineTest, NoQualifyingAdapterFallsBackToTheMachineId) {
    LogCapture log;
    char *chosen = ChooseMacAddress();
    EXPECT_EQ(nullptr, chosen); // only loopback here
    free(chosen);

    char *mac = ChooseDeviceMacAddress();
    ASSERT_NE(nullptr, mac);
    std::string id = ReadFileText("/etc/machine-id");
    if (id.empty()) GTEST_SKIP() << "no /etc/machine-id";
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    uint8_t b[6];
    DeriveMacFromMachineId(id.data(), id.size(), b);
    char want[16];
    snprintf(want, sizeof want, "%02X%02X%02X%02X%02X%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
    EXPECT_STREQ(want, mac);
    EXPECT_TRUE(log.Contains("derived from /etc/machine-id: " + std::string(want)));
    char *again = ChooseDeviceMacAddress();
    ASSERT_NE(nullptr, again);
    EXPECT_STREQ(mac, again);
    free(mac);
    free(again);
}

} // namespace
