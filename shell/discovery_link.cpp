#include "shell/discovery_link.h"

#include "discovery/discovery.h"
#include "plist/cfvalue.h"

namespace {

CFValue *List(void *) {
    return CFValueRetain(ServiceList);
}

CFValue *Resolve(void *, const char *name, char *deviceId, int *passwordRequired) {
    uint8_t flag = 0;
    CFValue *address = ResolveAirPlayService(name, deviceId, &flag);
    *passwordRequired = flag;
    return address;
}

uint16_t AudioPort(void *, const char *deviceId) {
    return AudioServicePort(deviceId);
}
void Start(void *) {
    DiscoveryRestart(nullptr);
}
void Forget(void *) {
    DiscoveryForgetList();
}
int32_t Selected(void *) {
    return SelectedReceiverIndex;
}
void SetSelected(void *, int32_t index) {
    SelectedReceiverIndex = index;
}

} // namespace

const ControllerDiscoveryOps kDiscoveryOps = {
    .serviceList = List,
    .resolve = Resolve,
    .audioPort = AudioPort,
    .start = Start,
    .forget = Forget,
    .selectedIndex = Selected,
    .setSelectedIndex = SetSelected,
};
