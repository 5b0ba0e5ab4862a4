// This machine's network adapters from getifaddrs: the link-layer (AF_PACKET) entries
// give the interfaces in order with their hardware addresses and types, the AF_INET
// entries their IPv4 addresses.
#include "mirroring/device_id.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <linux/wireless.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/log.h"

// /sys/class/net shows the namespace sysfs was mounted in; the link-layer entry's own
// type is used when the interface is not there.
static int LinkType(const char *name, int fallback) {
    char path[128];
    snprintf(path, sizeof path, "/sys/class/net/%s/type", name);
    FILE *f = fopen(path, "re");
    if (!f) return fallback;
    int type = fallback;
    if (fscanf(f, "%d", &type) != 1) type = fallback;
    fclose(f);
    return type;
}

static bool IsWireless(const char *name) {
    char path[128];
    snprintf(path, sizeof path, "/sys/class/net/%s/wireless", name);
    if (access(path, F_OK) == 0) return true;
    // Asking the driver works in any namespace.
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    iwreq req{};
    memcpy(req.ifr_name, name, strnlen(name, sizeof req.ifr_name - 1));
    bool wireless = ioctl(fd, SIOCGIWNAME, &req) == 0;
    close(fd);
    return wireless;
}

int OvListAdapters(AdapterRecord **out) {
    *out = nullptr;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        DebugLog(2, "Could not list the network adapters: %s\n", strerror(errno));
        return -1;
    }
    int capacity = 0;
    for (ifaddrs *i = list; i; i = i->ifa_next)
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_PACKET) capacity++;
    AdapterRecord *adapters =
        (AdapterRecord *)calloc(capacity > 0 ? (size_t)capacity : 1, sizeof(AdapterRecord));
    if (!adapters) {
        DebugLog(2, "Error allocating memory needed to call GetAdaptersinfo\n");
        freeifaddrs(list);
        return -1;
    }
    int count = 0;
    for (ifaddrs *i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_PACKET || count == capacity) continue;
        const sockaddr_ll *ll = (const sockaddr_ll *)i->ifa_addr;
        AdapterRecord &a = adapters[count++];
        snprintf(a.name, sizeof a.name, "%s", i->ifa_name);
        a.addressLength = ll->sll_halen < sizeof a.address ? ll->sll_halen : sizeof a.address;
        memcpy(a.address, ll->sll_addr, (size_t)a.addressLength);
        snprintf(a.ipv4, sizeof a.ipv4, "0.0.0.0");
        a.type = AdapterTypeFromLinkType(LinkType(a.name, ll->sll_hatype), IsWireless(a.name));
    }
    for (ifaddrs *i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        // Address labels ("eth0:1") belong to their interface.
        size_t nameLength = strcspn(i->ifa_name, ":");
        for (int k = 0; k < count; k++) {
            AdapterRecord &a = adapters[k];
            if (strlen(a.name) != nameLength || strncmp(a.name, i->ifa_name, nameLength) != 0)
                continue;
            if (strcmp(a.ipv4, "0.0.0.0") == 0) {
                const sockaddr_in *in = (const sockaddr_in *)i->ifa_addr;
                inet_ntop(AF_INET, &in->sin_addr, a.ipv4, sizeof a.ipv4);
            }
            break;
        }
    }
    freeifaddrs(list);
    *out = adapters;
    return count;
}
