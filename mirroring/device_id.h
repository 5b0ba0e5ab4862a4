// Device identity: the hardware address of the first suitable network adapter, chosen
// once at start-up, gives the device id ("0x" + 12 lower-case hex digits) that every
// connection sends as "x-apple-device-id". The choice is a pure function over a list of
// adapter records so that the rule can be exercised without real interfaces; the list of
// this machine's adapters comes from ov_adapters.cpp. Safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Adapter type numbers as the choice and its log lines use them.
enum : long {
    kAdapterTypeOther = 1,
    kAdapterTypeEthernet = 6,
    kAdapterTypeTokenRing = 9,
    kAdapterTypeFddi = 15,
    kAdapterTypePpp = 23,
    kAdapterTypeLoopback = 24,
    kAdapterTypeSlip = 28,
    kAdapterTypeWireless = 71,
};

struct AdapterRecord {
    char name[64];          // interface name, for diagnostics
    uint8_t address[8];     // hardware address; the first six bytes make the MAC text
    int addressLength;      // bytes of address in use (0 when the interface has none)
    char ipv4[16];          // first IPv4 address as dotted text, "0.0.0.0" without one
    long type;              // adapter type number (kAdapterType...)
};

// MAC text: 12 upper-case hex digits + NUL.
constexpr size_t kMacTextSize = 21;

// Walks adapters in order and returns the MAC text (malloc'ed; the caller frees it) of
// the first one with a usable IPv4 address and an Ethernet or wireless type, or null when
// none qualifies. Logs each adapter considered.
[[nodiscard]] char *ChooseMacAddressFrom(const AdapterRecord *adapters, int count);
// The same over this machine's adapters (OvListAdapters).
[[nodiscard]] char *ChooseMacAddress();

// A stable stand-in hardware address for a machine without a qualifying adapter: a hash
// of the machine id text, locally administered, unicast.
void DeriveMacFromMachineId(const char *machineId, size_t length, uint8_t out[6]);
// ChooseMacAddress, or, when no adapter qualifies, the MAC text derived from
// /etc/machine-id (then /var/lib/dbus/machine-id, then the host name). Logs which was
// used. Returns malloc'ed text, null only when out of memory.
[[nodiscard]] char *ChooseDeviceMacAddress();

// "0x" + MAC text with A-F lowered. Returns 1, or 0 when out is too small.
[[nodiscard]] int MakeDeviceIdText(const char *macText, char *out, size_t size);

// The process's device id: a new reference to the string "0x" + lower-case MAC text of
// ChooseDeviceMacAddress. Null only when out of memory. Call once at start-up and share.
struct CFValue;
[[nodiscard]] CFValue *DeviceIdCreate();

// Maps a Linux link-layer type (ARPHRD_*) to an adapter type number.
long AdapterTypeFromLinkType(int linkType, bool wireless);

// Lists this machine's adapters in interface order (platform layer). Returns the count and
// a malloc'ed array in *out (freed by the caller), or -1 when the list cannot be read.
[[nodiscard]] int OvListAdapters(AdapterRecord **out);
