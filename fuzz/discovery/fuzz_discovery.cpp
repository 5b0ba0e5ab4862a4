// Feeds announcements as a network could send them: service names of any bytes, in any order,
// adds and removes in batches, and TXT records of any shape. Checks the list's promises after
// every step: no two entries alike, sorted after each batch, a selection inside the list.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "discovery/discovery.h"
#include "plist/cfvalue.h"

namespace {

int CompareFolded(const char *a, const char *b) {
    for (;; a++, b++) {
        int x = tolower((unsigned char)*a), y = tolower((unsigned char)*b);
        if (x != y || !x) return x - y;
    }
}

void CheckList(bool batchEnded) {
    uint32_t count = CFArrayCount(ServiceList);
    for (uint32_t i = 0; i < count; i++) {
        for (uint32_t j = i + 1; j < count; j++)
            if (CFValueEqual(CFArrayGet(ServiceList, i), CFArrayGet(ServiceList, j))) abort();
        if (batchEnded && i + 1 < count &&
            CompareFolded(CFStringText(CFArrayGet(ServiceList, i)),
                          CFStringText(CFArrayGet(ServiceList, i + 1))) > 0)
            abort();
    }
    if (SelectedReceiverIndex < -1 || SelectedReceiverIndex >= (int32_t)count) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ServiceList = CFArrayNew(10);
    AudioServiceMap = CFDictionaryNew(10);
    SelectedReceiverIndex = -1;
    bool sorted = true;
    // Records: operation byte, length byte, that many bytes.
    size_t at = 0;
    while (at + 2 <= size) {
        uint8_t op = data[at] % 7;
        size_t length = data[at + 1];
        at += 2;
        if (length > size - at) length = size - at;
        const uint8_t *bytes = data + at;
        at += length;
        std::string name((const char *)bytes, length);
        name = name.c_str(); // a service name ends at its first NUL
        switch (op) {
        case 0:
        case 1: {
            bool more = op == 1;
            DiscoveryBrowseReply(kDiscoveryAdd | (more ? kDiscoveryMoreComing : 0), 0, name.c_str(),
                                 "_airplay._tcp.");
            sorted = !more;
            CheckList(sorted);
            break;
        }
        case 2: {
            CFValue *selected = SelectedReceiverIndex >= 0
                                    ? CFValueRetain(CFArrayGet(ServiceList, SelectedReceiverIndex))
                                    : nullptr;
            DiscoveryBrowseReply(0, 0, name.c_str(), "_airplay._tcp.");
            // The selection stays on its name, or is dropped with it.
            if (selected && SelectedReceiverIndex >= 0 &&
                !CFValueEqual(CFArrayGet(ServiceList, SelectedReceiverIndex), selected))
                abort();
            CFValueRelease(selected);
            CheckList(sorted);
            break;
        }
        case 3: {
            DiscoveryBrowseReply(kDiscoveryAdd, 0, name.c_str(), "_raop._tcp.");
            char key[64];
            if (RaopNameKey(name.c_str(), key)) {
                if (strlen(key) == 0 || strlen(key) > 63) abort();
                if (!CFDictionaryFindText(AudioServiceMap, key)) abort();
            }
            break;
        }
        case 4: {
            char id[64];
            TxtDeviceId(bytes, length, id);
            if (strlen(id) > 63 || strchr(id, ':')) abort();
            (void)TxtPasswordFlag(bytes, length);
            RaopFormat format = TxtRaopFormat(bytes, length);
            if (format.codec != kRaopCodecAacEld && format.codec != kRaopCodecAlac &&
                format.codec != kRaopCodecPcm && format.codec != kRaopCodecNone)
                abort();
            // Looking the id up never needs a query when nothing is known for it.
            if (!CFDictionaryFindText(AudioServiceMap, id) &&
                AudioServicePort(id) != kFallbackAudioPort)
                abort();
            break;
        }
        case 5:
            SelectedReceiverIndex =
                CFArrayCount(ServiceList) ? (int32_t)(length % CFArrayCount(ServiceList)) : -1;
            break;
        case 6: {
            const uint8_t *value = nullptr;
            uint8_t valueLength = 0;
            if (TxtRecordFind(bytes, length, name.size() > 8 ? "deviceid" : "pw", &value,
                              &valueLength) &&
                value && (value < bytes || value + valueLength > bytes + length))
                abort();
            break;
        }
        }
    }
    DiscoveryShutdown();
    return 0;
}
