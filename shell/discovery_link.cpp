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
int32_t AudioCodec(void *, const char *deviceId) {
    return AudioServiceCodec(deviceId);
}
CFValue *Speakers(void *) {
    return CFValueRetain(SpeakerList);
}
CFValue *ResolveOneSpeaker(void *, const char *name, char *deviceId, int *passwordRequired,
                           uint16_t *port, int32_t *codec) {
    uint8_t flag = 0;
    RaopFormat format{kRaopCodecAacEld, 0, 0};
    CFValue *address = ResolveSpeaker(name, deviceId, &flag, port, &format);
    *passwordRequired = flag;
    *codec = format.encryptedOnly ? kRaopCodecNone : format.codec;
    return address;
}
int32_t Unusable(void *, const char *name) {
    return SpeakerUnusableReason(SpeakerFormat(name));
}
int32_t SelectedSpeaker(void *) {
    return SelectedSpeakerIndex;
}
void SetSelectedSpeaker(void *, int32_t index) {
    SelectedSpeakerIndex = index;
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
    .audioCodec = AudioCodec,
    .speakerList = Speakers,
    .resolveSpeaker = ResolveOneSpeaker,
    .speakerUnusable = Unusable,
    .selectedSpeaker = SelectedSpeaker,
    .setSelectedSpeaker = SetSelectedSpeaker,
};

int32_t SpeakerUnusableReason(RaopFormat format) {
    if (format.encryptedOnly) return kSpeakerEncryptedOnly;
    if (format.codec == kRaopCodecNone) return kSpeakerNoFormat;
    return kSpeakerUsable;
}
