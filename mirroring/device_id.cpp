#include "mirroring/device_id.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if_arp.h>
#include <unistd.h>

#include "base/log.h"
#include "plist/cfvalue.h"

static void FormatMacText(const uint8_t *address, char *out) {
    snprintf(out, kMacTextSize, "%02X%02X%02X%02X%02X%02X", address[0], address[1], address[2],
             address[3], address[4], address[5]);
}

static void LogAdapterType(long type) {
    switch (type) {
    case kAdapterTypeEthernet: DebugLog(2, "Ethernet\n"); break;
    case kAdapterTypeWireless: DebugLog(2, "IEEE 802.11 (Wireless)\n"); break;
    case kAdapterTypeOther: DebugLog(2, "Other\n"); break;
    case kAdapterTypeTokenRing: DebugLog(2, "Token Ring\n"); break;
    case kAdapterTypeFddi: DebugLog(2, "FDDI\n"); break;
    case kAdapterTypePpp: DebugLog(2, "PPP\n"); break;
    case kAdapterTypeLoopback: DebugLog(2, "Lookback\n"); break;
    case kAdapterTypeSlip: DebugLog(2, "Slip\n"); break;
    default: DebugLog(2, "Unknown type %ld \n", type); break;
    }
}

char *ChooseMacAddressFrom(const AdapterRecord *adapters, int count) {
    for (int i = 0; i < count; i++) {
        const AdapterRecord &a = adapters[i];
        uint8_t address[6] = {};
        int n = a.addressLength < 6 ? (a.addressLength > 0 ? a.addressLength : 0) : 6;
        memcpy(address, a.address, (size_t)n);
        char mac[kMacTextSize];
        FormatMacText(address, mac);
        // The record may come from anywhere: never read past its buffer.
        char ipv4[sizeof a.ipv4 + 1];
        memcpy(ipv4, a.ipv4, sizeof a.ipv4);
        ipv4[sizeof a.ipv4] = '\0';
        DebugLog(2, " Address: %s, MAC: %s", ipv4, mac);
        if (strcmp(ipv4, "0.0.0.0") == 0 || strcmp(ipv4, "127.0.0.1") == 0 ||
            strcmp(ipv4, "169.254.80.80") == 0) {
            DebugLog(2, "\n Invalid IP address. Look for new Mac source.\n");
            continue;
        }
        DebugLog(2, ", Adapter type: ");
        LogAdapterType(a.type);
        if (a.type != kAdapterTypeEthernet && a.type != kAdapterTypeWireless) {
            DebugLog(2, " Invalid MAC source. Try again.\n");
            continue;
        }
        DebugLog(2, " Going with this MAC: %s \n", mac);
        return strdup(mac);
    }
    return nullptr;
}

char *ChooseMacAddress() {
    AdapterRecord *adapters = nullptr;
    int count = OvListAdapters(&adapters);
    if (count < 0) return nullptr;
    char *mac = ChooseMacAddressFrom(adapters, count);
    free(adapters);
    return mac;
}

void DeriveMacFromMachineId(const char *machineId, size_t length, uint8_t out[6]) {
    // FNV-1a, 64 bits: stable across builds and machines, which is all that is needed.
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i < length; i++) {
        hash ^= (uint8_t)machineId[i];
        hash *= 0x100000001b3ULL;
    }
    for (int i = 0; i < 6; i++) out[i] = (uint8_t)(hash >> (8 * (5 - i)));
    // Locally administered, unicast: cannot collide with a manufacturer's address.
    out[0] = (uint8_t)((out[0] | 0x02) & ~0x01);
}

// Reads the first line of path, without surrounding white space. Returns its length,
// 0 when the file is missing or empty.
static size_t ReadIdFile(const char *path, char *out, size_t size) {
    FILE *f = fopen(path, "re");
    if (!f) return 0;
    size_t n = 0;
    if (fgets(out, (int)size, f)) n = strlen(out);
    fclose(f);
    while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == '\r' || out[n - 1] == ' ' ||
                     out[n - 1] == '\t'))
        out[--n] = '\0';
    return n;
}

char *ChooseDeviceMacAddress() {
    char *mac = ChooseMacAddress();
    if (mac) return mac;
    char id[256] = {};
    const char *source = "/etc/machine-id";
    size_t n = ReadIdFile(source, id, sizeof id);
    if (n == 0) {
        source = "/var/lib/dbus/machine-id";
        n = ReadIdFile(source, id, sizeof id);
    }
    if (n == 0) {
        source = "the host name";
        if (gethostname(id, sizeof id - 1) != 0) id[0] = '\0';
        n = strlen(id);
    }
    uint8_t address[6];
    DeriveMacFromMachineId(id, n, address);
    char text[kMacTextSize];
    FormatMacText(address, text);
    DebugLog(2, " No adapter qualifies; going with a MAC derived from %s: %s \n", source, text);
    return strdup(text);
}

int MakeDeviceIdText(const char *macText, char *out, size_t size) {
    size_t n = strlen(macText);
    if (size < n + 3) return 0;
    out[0] = '0';
    out[1] = 'x';
    for (size_t i = 0; i < n; i++) {
        char c = macText[i];
        out[2 + i] = (c >= 'A' && c <= 'F') ? (char)(c - 'A' + 'a') : c;
    }
    out[2 + n] = '\0';
    return 1;
}

CFValue *DeviceIdCreate() {
    char *mac = ChooseDeviceMacAddress();
    if (!mac) return nullptr;
    char text[kMacTextSize + 2];
    CFValue *id = MakeDeviceIdText(mac, text, sizeof text) ? CFStringFromBytes(text, 0) : nullptr;
    free(mac);
    return id;
}

long AdapterTypeFromLinkType(int linkType, bool wireless) {
    switch (linkType) {
    case ARPHRD_ETHER: return wireless ? kAdapterTypeWireless : kAdapterTypeEthernet;
    case ARPHRD_IEEE80211: return kAdapterTypeWireless;
    case ARPHRD_LOOPBACK: return kAdapterTypeLoopback;
    case ARPHRD_PPP: return kAdapterTypePpp;
    case ARPHRD_SLIP:
    case ARPHRD_CSLIP: return kAdapterTypeSlip;
    case ARPHRD_IEEE802_TR:
    case ARPHRD_IEEE802: return kAdapterTypeTokenRing;
    case ARPHRD_FDDI: return kAdapterTypeFddi;
    default: return kAdapterTypeOther;
    }
}
