#include "discovery/discovery.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <strings.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

#include "base/clock.h"
#include "base/event.h"
#include "base/log.h"
#include "base/thread.h"
#include "discovery/discovery_internal.h"
#include "plist/cfvalue.h"

CFValue *ServiceList = nullptr;
int32_t SelectedReceiverIndex = -1;
CFValue *AudioServiceMap = nullptr;
CFValue *SpeakerList = nullptr;
int32_t SelectedSpeakerIndex = -1;
int DiscoveryResolveTimeoutMs = 5000;

namespace {

constexpr int kErrorTimeout = -15; // Avahi's "timeout reached"

// Work for the owner thread, in arrival order.
struct QueuedEvent {
    uint64_t generation;
    DiscoverySession *install; // non-null: a restart's new session
    bool add;
    bool raop;
    std::string name;
    bool lookup = false; // a background lookup's answer: txt and port below
    std::string txt;
    uint16_t port = 0;
};

// A sound service as browsed and looked up (owner thread), by hardware-address key.
struct RaopRecord {
    std::string name; // the full service name
    bool live;        // announced now
    RaopFormat format;
};

struct DiscoveryState {
    std::mutex mutex; // guards queue, nextGeneration, notifyFd creation, wake
    std::deque<QueuedEvent> queue;
    uint64_t nextGeneration = 1;
    int notifyFd = -1;
    DiscoveryWakeFn wake = nullptr;
    void *wakeContext = nullptr;
    std::mutex startMutex;  // one DiscoveryStart at a time
    std::mutex threadMutex; // guards restartThread
    Thread restartThread{};
    // Owner thread only:
    DiscoverySession *session = nullptr;
    uint64_t installs = 0;
    std::deque<QueuedEvent> held; // replies of a session whose hand-over is still to come
    // The selected name carried over a restart until it is announced again.
    CFValue *carriedSelection = nullptr;
    std::map<std::string, RaopRecord> raop;
    // Receiver name -> its TXT "deviceid" as TxtDeviceId gives it, once looked up.
    std::map<std::string, std::string> receiverIds;
    CFValue *carriedSpeaker = nullptr; // as carriedSelection, for SelectedSpeakerIndex
};

DiscoveryState state;

int NotifyFdLocked() {
    if (state.notifyFd < 0) state.notifyFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return state.notifyFd;
}

void Enqueue(QueuedEvent event) {
    DiscoveryWakeFn wake;
    void *context;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.queue.push_back(std::move(event));
        int fd = NotifyFdLocked();
        if (fd >= 0) {
            uint64_t one = 1;
            ssize_t r = write(fd, &one, sizeof one);
            (void)r;
        }
        wake = state.wake;
        context = state.wakeContext;
    }
    if (wake) wake(context);
}

// "%d-%06d:" of the wall clock, the prefix of every resolve line.
void Stamp(char out[40]) {
    int64_t now = RealtimeNanos() / 1000;
    snprintf(out, 40, "%d-%06d:", (int)(now / 1000000), (int)(now % 1000000));
}

#define RESOLVE_LOG(format, ...)                                                                   \
    do {                                                                                           \
        char stamp_[40];                                                                           \
        Stamp(stamp_);                                                                             \
        DebugLog(2, "%s\t" format, stamp_, ##__VA_ARGS__);                                         \
    } while (0)

// Index of the first entry equal to value, or -1.
int32_t IndexOf(const CFValue *list, const CFValue *value) {
    uint32_t count = CFArrayCount(list);
    for (uint32_t i = 0; i < count; i++)
        if (CFValueEqual(CFArrayGet(list, i), value)) return (int32_t)i;
    return -1;
}

CFValue *RetainSelected() {
    if (SelectedReceiverIndex < 0 || (uint32_t)SelectedReceiverIndex >= CFArrayCount(ServiceList))
        return nullptr;
    return CFValueRetain(CFArrayGet(ServiceList, (uint32_t)SelectedReceiverIndex));
}

void AirPlayAdd(uint32_t flags, const char *name) {
    if (!ServiceList) return;
    CFValue *entry = CFStringFromBytes(name, 0);
    if (!entry) return;
    // A repeated name adds nothing, but when it ends a batch the batch is still sorted.
    if (IndexOf(ServiceList, entry) < 0) CFArrayPush(ServiceList, entry);
    CFValueRelease(entry);
    if (flags & kDiscoveryMoreComing) return;
    CFValue *selected = RetainSelected();
    uint32_t count = CFArrayCount(ServiceList);
    if (count > 1) CFArraySortByText(ServiceList, 0, count - 1);
    if (selected) SelectedReceiverIndex = IndexOf(ServiceList, selected);
    CFValueRelease(selected);
    // A selection carried over a restart returns with its name, unless the controller
    // chose something else meanwhile.
    if (state.carriedSelection) {
        int32_t index = IndexOf(ServiceList, state.carriedSelection);
        if (SelectedReceiverIndex != -1) {
            CFValueRelease(state.carriedSelection);
            state.carriedSelection = nullptr;
        } else if (index >= 0) {
            SelectedReceiverIndex = index;
            CFValueRelease(state.carriedSelection);
            state.carriedSelection = nullptr;
        }
    }
}

void AirPlayRemove(const char *name) {
    if (!ServiceList) return;
    CFValue *entry = CFStringFromBytes(name, 0);
    if (!entry) return;
    CFValue *selected = RetainSelected();
    ServiceListRemove(entry);
    if (selected) {
        // The selected receiver itself went away: nothing is marked rather than whichever
        // receiver slid into its place.
        SelectedReceiverIndex = IndexOf(ServiceList, selected);
        CFValueRelease(selected);
    }
    CFValueRelease(entry);
}

// Hardware-address key -> record of a browse reply (add or remove).
void RaopBrowsed(bool add, const char *name) {
    char key[64];
    if (!RaopNameKey(name, key)) return;
    auto found = state.raop.find(key);
    if (add) {
        if (found == state.raop.end() || found->second.name != name)
            state.raop[key] = RaopRecord{name, true, RaopFormat{kRaopCodecAacEld, 0, 0}};
        else
            found->second.live = true;
    } else if (found != state.raop.end() && found->second.name == name) {
        found->second.live = false;
    }
}

void RaopSeen(const char *name) {
    char key[64];
    if (!AudioServiceMap || !RaopNameKey(name, key)) return;
    CFValue *keyString = CFStringFromBytes(key, 0);
    CFValue *value = CFStringFromBytes(name, 0);
    CFDictionaryPut(AudioServiceMap, value, keyString);
    CFValueRelease(keyString);
    CFValueRelease(value);
}

// Replaces the lists and browses with a restart's (owner thread).
// Keeps the selected name aside while the list is replaced or gone; the index then marks
// nothing until the name is announced again.
void CarrySelection() {
    CFValue *selected = RetainSelected();
    if (selected) {
        CFValueRelease(state.carriedSelection);
        state.carriedSelection = selected;
    }
    SelectedReceiverIndex = -1;
}

CFValue *RetainSelectedSpeaker() {
    if (SelectedSpeakerIndex < 0 || (uint32_t)SelectedSpeakerIndex >= CFArrayCount(SpeakerList))
        return nullptr;
    return CFValueRetain(CFArrayGet(SpeakerList, (uint32_t)SelectedSpeakerIndex));
}

void CarrySpeaker() {
    if (CFValue *selected = RetainSelectedSpeaker()) {
        CFValueRelease(state.carriedSpeaker);
        state.carriedSpeaker = selected;
    }
    SelectedSpeakerIndex = -1;
}

bool SpeakerOrder(const std::string &a, const std::string &b) {
    int byShown = strcasecmp(RaopShownName(a.c_str()), RaopShownName(b.c_str()));
    return byShown != 0 ? byShown < 0 : a < b;
}

// Whether a receiver on the list owns the sound service of this key: its device id, once
// looked up, is the key; before that, a receiver announced under the name the sound service
// shows is taken to be its owner, so that it does not flash by as a speaker.
bool OwnedByReceiver(const std::string &key, const RaopRecord &record) {
    const char *shown = RaopShownName(record.name.c_str());
    for (uint32_t i = 0; i < CFArrayCount(ServiceList); i++) {
        const char *name = CFStringText(CFArrayGet(ServiceList, i));
        if (!name) continue;
        auto id = state.receiverIds.find(name);
        if (id != state.receiverIds.end() ? id->second == key : !strcmp(name, shown)) return true;
    }
    return false;
}

// Makes SpeakerList anew from the records; keeps the selection on its name. Returns 1 when
// the list changed.
int RebuildSpeakers() {
    if (!SpeakerList) return 0;
    std::vector<std::string> names;
    for (const auto &entry : state.raop)
        if (entry.second.live && !OwnedByReceiver(entry.first, entry.second))
            names.push_back(entry.second.name);
    std::sort(names.begin(), names.end(), SpeakerOrder);
    names.erase(std::unique(names.begin(), names.end()), names.end());
    bool same = names.size() == CFArrayCount(SpeakerList);
    for (size_t i = 0; same && i < names.size(); i++)
        same = names[i] == CFStringText(CFArrayGet(SpeakerList, (uint32_t)i));
    if (same && !state.carriedSpeaker) return 0;
    CFValue *selected = RetainSelectedSpeaker();
    CFValue *list = CFArrayNew((uint32_t)names.size() + 1);
    for (const std::string &name : names) {
        CFValue *entry = CFStringFromBytes(name.c_str(), (int32_t)name.size());
        if (entry) CFArrayPush(list, entry);
        CFValueRelease(entry);
    }
    CFValueRelease(SpeakerList);
    SpeakerList = list;
    if (selected) SelectedSpeakerIndex = IndexOf(SpeakerList, selected);
    CFValueRelease(selected);
    if (state.carriedSpeaker) {
        int32_t index = IndexOf(SpeakerList, state.carriedSpeaker);
        if (SelectedSpeakerIndex != -1 || index >= 0) {
            if (SelectedSpeakerIndex == -1) SelectedSpeakerIndex = index;
            CFValueRelease(state.carriedSpeaker);
            state.carriedSpeaker = nullptr;
        }
    }
    return same ? 0 : 1;
}

// A background lookup's answer: a receiver's device id, or a sound service's port and format.
void ApplyLookup(const QueuedEvent &event) {
    const uint8_t *txt = (const uint8_t *)event.txt.data();
    if (!event.raop) {
        char id[64];
        TxtDeviceId(txt, event.txt.size(), id);
        state.receiverIds[event.name] = id;
        return;
    }
    char key[64];
    if (!RaopNameKey(event.name.c_str(), key)) return;
    auto found = state.raop.find(key);
    if (found == state.raop.end() || found->second.name != event.name) return;
    found->second.format = TxtRaopFormat(txt, event.txt.size());
    // The port is known now: connecting need not ask again.
    CFValue *keyString = CFStringFromBytes(key, 0);
    CFValue *number = CFNumberFromUnsigned(event.port);
    if (AudioServiceMap && keyString && number) CFDictionaryPut(AudioServiceMap, number, keyString);
    CFValueRelease(number);
    CFValueRelease(keyString);
}

void Install(DiscoverySession *session) {
    // An index into the old list means nothing in the new one.
    if (ServiceList)
        CarrySelection();
    else
        SelectedReceiverIndex = -1;
    if (SpeakerList)
        CarrySpeaker();
    else
        SelectedSpeakerIndex = -1;
    CFValueRelease(ServiceList);
    ServiceList = CFArrayNew(10);
    CFValueRelease(SpeakerList);
    SpeakerList = CFArrayNew(4);
    state.raop.clear();
    state.receiverIds.clear();
    CFValueRelease(AudioServiceMap);
    AudioServiceMap = CFDictionaryNew(10);
    DiscoverySession *old = state.session;
    state.session = session;
    state.installs++;
    OvAvahiSessionClose(old);
}

// ---- Resolving ----

struct ResolveContext {
    char *address;        // addressText once the address reply gave one
    char *deviceId;       // the caller's 64 bytes
    uint8_t passwordFlag; // from the TXT record
    // Hand-over with the loop thread; every field below is touched under the loop lock.
    DiscoverySession *session;
    Event *done;
    bool audio;    // resolving a RAOP service: only the port is wanted
    bool resolved; // the first resolve reply was handled
    bool finished; // nothing more will be written
    int error;     // the first error seen
    uint16_t port; // RAOP port, host order
    void *serviceQuery;
    void *addressQuery;
    std::string txt;
    char addressText[48];
};

// Reads the TXT keys into the context once the address query has answered.
void FinishAirPlay(ResolveContext *context) {
    const uint8_t *txt = (const uint8_t *)context->txt.data();
    RESOLVE_LOG("About to get the TXT Record \"deviceid\" for the AirPlay device\n");
    TxtDeviceId(txt, context->txt.size(), context->deviceId);
    RESOLVE_LOG("About to get the TXT Record \"password\" for the AirPlay device\n");
    context->passwordFlag = TxtPasswordFlag(txt, context->txt.size());
    context->finished = true;
    EventSet(context->done);
}

// Runs one query to its end or the time limit. Returns 0, the query's error, or the timeout.
int RunQuery(ResolveContext *context, const char *name, const char *type, const char *domain) {
    DiscoverySession *session = context->session;
    int error = 0;
    OvAvahiLoopLock(session->loop);
    context->serviceQuery =
        session->ops->resolveService(session, name, type, domain, context, &error);
    OvAvahiLoopUnlock(session->loop);
    if (!context->serviceQuery) return error ? error : -1;
    bool answered = EventWait(context->done, DiscoveryResolveTimeoutMs) == 1;
    OvAvahiLoopLock(session->loop);
    // Freed under the lock: neither query can call back into this context any more.
    session->ops->freeQuery(kQueryHost, context->addressQuery);
    session->ops->freeQuery(kQueryService, context->serviceQuery);
    context->addressQuery = context->serviceQuery = nullptr;
    context->finished = true;
    OvAvahiLoopUnlock(session->loop);
    if (!answered) return kErrorTimeout;
    return context->error;
}

bool ResolveContextInit(ResolveContext *context, char *deviceId, bool audio) {
    context->address = nullptr;
    context->deviceId = deviceId;
    context->passwordFlag = 0;
    context->session = state.session;
    context->done = EventCreate(true, false);
    context->audio = audio;
    context->resolved = context->finished = false;
    context->error = 0;
    context->port = 0;
    context->serviceQuery = context->addressQuery = nullptr;
    context->addressText[0] = '\0';
    return context->done != nullptr;
}

void RestartThreadMain(void *) {
    DiscoveryStart();
}

} // namespace

// ---- Loop-thread entries ----

void DiscoveryQueueBrowse(DiscoverySession *session, bool add, const char *name, const char *type,
                          int, int) {
    QueuedEvent event{
        session->generation, nullptr, add, strncmp(type, "_raop._tcp", 10) == 0, name, false,
        std::string(),       0};
    Enqueue(std::move(event));
}

void DiscoveryQueueLookup(DiscoverySession *session, bool raop, const char *name, uint16_t port,
                          const uint8_t *txt, size_t txtLength) {
    QueuedEvent event{session->generation, nullptr, true, raop, name, true, std::string(), 0};
    event.txt.assign((const char *)txt, txtLength);
    event.port = port;
    Enqueue(std::move(event));
}

void DiscoveryResolveReply(void *contextPointer, int error, const char *hostTarget, uint16_t port,
                           const uint8_t *txt, size_t txtLength) {
    ResolveContext *context = (ResolveContext *)contextPointer;
    if (context->finished || context->resolved) return;
    context->resolved = true;
    RESOLVE_LOG("Received response in resolve callback with no error\n");
    if (error) {
        context->error = error;
        context->finished = true;
        EventSet(context->done);
        return;
    }
    context->port = port;
    if (context->audio) {
        context->txt.assign((const char *)txt, txtLength);
        context->finished = true;
        EventSet(context->done);
        return;
    }
    context->txt.assign((const char *)txt, txtLength);
    RESOLVE_LOG("About to get the IP of an AirPlay device\n");
    int queryError = 0;
    DiscoverySession *session = context->session;
    context->addressQuery =
        hostTarget ? session->ops->resolveHost(session, hostTarget, context, &queryError) : nullptr;
    RESOLVE_LOG("About to process result for the IP of an AirPlay device\n");
    if (!context->addressQuery) {
        context->error = queryError ? queryError : -1;
        FinishAirPlay(context);
    }
}

void DiscoveryAddressReply(void *contextPointer, int error, const char *addressText) {
    ResolveContext *context = (ResolveContext *)contextPointer;
    if (context->finished) return;
    if (error == 0 && addressText) {
        snprintf(context->addressText, sizeof context->addressText, "%s", addressText);
        context->address = context->addressText;
    } else {
        context->error = error;
    }
    FinishAirPlay(context);
}

// ---- Owner-thread interface ----

void DiscoveryStart() {
    std::lock_guard<std::mutex> startLock(state.startMutex);
    uint64_t generation;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        generation = state.nextGeneration++;
        NotifyFdLocked();
    }
    DiscoverySession *session = OvAvahiSessionOpen(generation);
    if (!session) {
        DebugLog(2, "Receiver discovery could not start\n");
        return;
    }
    Enqueue(QueuedEvent{generation, session, false, false, std::string(), false, std::string(), 0});
}

void DiscoveryRestart(void *) {
    std::lock_guard<std::mutex> lock(state.threadMutex);
    ThreadJoin(&state.restartThread);
    if (!ThreadStart(&state.restartThread, "DiscoveryStart", RestartThreadMain, nullptr))
        DebugLog(2, "Receiver discovery thread could not be created\n");
}

int DiscoveryNotifyFd() {
    std::lock_guard<std::mutex> lock(state.mutex);
    return NotifyFdLocked();
}

void DiscoverySetWake(DiscoveryWakeFn wake, void *context) {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.wake = wake;
    state.wakeContext = context;
}

int DiscoveryProcessEvents() {
    std::deque<QueuedEvent> batch;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        batch.swap(state.queue);
        if (state.notifyFd >= 0) {
            uint64_t count;
            ssize_t r = read(state.notifyFd, &count, sizeof count);
            (void)r;
        }
    }
    // A restart's browses may answer before its hand-over is queued: hold such replies until
    // their session is installed, so that none is lost.
    std::deque<QueuedEvent> ready;
    uint64_t latest = state.session ? state.session->generation : 0;
    for (QueuedEvent &event : batch) {
        if (event.install) {
            latest = event.generation;
            ready.push_back(std::move(event));
            std::deque<QueuedEvent> keep;
            for (QueuedEvent &held : state.held) {
                if (held.generation == latest)
                    ready.push_back(std::move(held));
                else if (held.generation > latest)
                    keep.push_back(std::move(held));
            }
            state.held.swap(keep);
        } else if (event.generation > latest) {
            state.held.push_back(std::move(event));
        } else {
            ready.push_back(std::move(event));
        }
    }
    batch.swap(ready);
    int changes = 0;
    for (size_t i = 0; i < batch.size(); i++) {
        QueuedEvent &event = batch[i];
        if (event.install) {
            Install(event.install);
            changes++;
            continue;
        }
        if (!state.session || event.generation != state.session->generation) continue;
        if (event.lookup) {
            ApplyLookup(event);
            continue;
        }
        if (event.raop) {
            DiscoveryBrowseReply(event.add ? kDiscoveryAdd : 0, 0, event.name.c_str(),
                                 "_raop._tcp.");
            continue;
        }
        // Replies already waiting behind this one belong to the same batch: sort once at
        // its end.
        uint32_t flags = event.add ? kDiscoveryAdd : 0;
        if (event.add && i + 1 < batch.size() && !batch[i + 1].install && !batch[i + 1].raop &&
            batch[i + 1].add && batch[i + 1].generation == event.generation)
            flags |= kDiscoveryMoreComing;
        uint32_t before = CFArrayCount(ServiceList);
        DiscoveryBrowseReply(flags, 0, event.name.c_str(), "_airplay._tcp.");
        if (CFArrayCount(ServiceList) != before) changes++;
    }
    if (!batch.empty()) changes += RebuildSpeakers();
    return changes;
}

void DiscoveryForgetList() {
    if (ServiceList) CarrySelection();
    CFValueRelease(ServiceList);
    ServiceList = nullptr;
    if (SpeakerList) CarrySpeaker();
    CFValueRelease(SpeakerList);
    SpeakerList = nullptr;
}

void DiscoveryForgetSelection() {
    CFValueRelease(state.carriedSelection);
    state.carriedSelection = nullptr;
    SelectedReceiverIndex = -1;
}

void DiscoveryShutdown() {
    {
        std::lock_guard<std::mutex> lock(state.threadMutex);
        ThreadJoin(&state.restartThread);
    }
    std::deque<QueuedEvent> rest;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        rest.swap(state.queue);
    }
    for (QueuedEvent &event : rest)
        OvAvahiSessionClose(event.install);
    state.held.clear();
    OvAvahiSessionClose(state.session);
    state.session = nullptr;
    CFValueRelease(ServiceList);
    ServiceList = nullptr;
    CFValueRelease(AudioServiceMap);
    AudioServiceMap = nullptr;
    CFValueRelease(state.carriedSelection);
    state.carriedSelection = nullptr;
    SelectedReceiverIndex = -1;
    CFValueRelease(SpeakerList);
    SpeakerList = nullptr;
    CFValueRelease(state.carriedSpeaker);
    state.carriedSpeaker = nullptr;
    SelectedSpeakerIndex = -1;
    state.raop.clear();
    state.receiverIds.clear();
}

uint64_t DiscoveryGeneration() {
    return state.installs;
}

int EmbeddedResponderStarts() {
    return OvEmbeddedResponderStarts();
}

bool DiscoveryUsesEmbeddedResponder() {
    return state.session && state.session->loop && strcmp(state.session->ops->name, "avahi-daemon");
}

CFValue *ResolveAirPlayService(const char *serviceName, char deviceId[64], uint8_t *passwordFlag) {
    deviceId[0] = '\0';
    ResolveContext context;
    int result = -1;
    if (state.session && serviceName && ResolveContextInit(&context, deviceId, false)) {
        result = RunQuery(&context, serviceName, "_airplay._tcp", "local");
        EventClose(context.done);
        if (context.address && result != kErrorTimeout) {
            if (passwordFlag) *passwordFlag = context.passwordFlag;
            return CFStringFromBytes(context.address, 0);
        }
    }
    RESOLVE_LOG(
        "mDNS resolver didn't receive response in an appropriate amount of time (Err %i).\n",
        result);
    return nullptr;
}

uint16_t AudioServicePort(const char *deviceId) {
    char key[1024];
    snprintf(key, sizeof key, "%s", deviceId ? deviceId : "");
    for (char *p = key; *p; p++)
        *p = (char)tolower((unsigned char)*p);
    CFValue *keyString = CFStringFromBytes(key, 0);
    CFValue *entry = CFDictionaryFind(AudioServiceMap, keyString);
    uint16_t port = kFallbackAudioPort;
    if (!entry) {
    } else if (CFValueIsKind(entry, kCFNumber)) {
        port = (uint16_t)CFNumberGetInt(entry);
    } else if (CFValueIsKind(entry, kCFString) && state.session) {
        ResolveContext context;
        CFValue *name = CFValueRetain(entry);
        if (ResolveContextInit(&context, nullptr, true)) {
            int result = RunQuery(&context, CFStringText(name), "_raop._tcp", "local");
            EventClose(context.done);
            if (result != 0) {
                DebugLog(2, "Error resolving audio service: %i\n", result);
            } else {
                auto record = state.raop.find(key);
                if (record != state.raop.end() && record->second.name == CFStringText(name))
                    record->second.format =
                        TxtRaopFormat((const uint8_t *)context.txt.data(), context.txt.size());
                CFValue *number = CFNumberFromUnsigned(context.port);
                CFDictionaryPut(AudioServiceMap, number, keyString);
                CFValueRelease(number);
            }
        }
        CFValueRelease(name);
        CFValue *again = CFDictionaryFind(AudioServiceMap, keyString);
        if (CFValueIsKind(again, kCFNumber)) port = (uint16_t)CFNumberGetInt(again);
    }
    CFValueRelease(keyString);
    return port;
}

int32_t AudioServiceCodec(const char *deviceId) {
    char key[64];
    snprintf(key, sizeof key, "%s", deviceId ? deviceId : "");
    for (char *p = key; *p; p++)
        *p = (char)tolower((unsigned char)*p);
    auto found = state.raop.find(key);
    if (found == state.raop.end() || !found->second.format.known) return kRaopCodecAacEld;
    int32_t codec = found->second.format.codec;
    if (codec == kRaopCodecNone) {
        DebugLog(2, "Audio: %s offers no sound format this program sends; trying AAC-ELD\n",
                 found->second.name.c_str());
        return kRaopCodecAacEld;
    }
    return codec;
}

CFValue *ResolveSpeaker(const char *raopName, char deviceId[64], uint8_t *passwordFlag,
                        uint16_t *port, RaopFormat *format) {
    char ignored[64];
    deviceId[0] = '\0';
    if (!RaopNameKey(raopName, deviceId)) return nullptr;
    ResolveContext context;
    int result = -1;
    if (state.session && ResolveContextInit(&context, ignored, false)) {
        result = RunQuery(&context, raopName, "_raop._tcp", "local");
        EventClose(context.done);
        if (context.address && result != kErrorTimeout) {
            const uint8_t *txt = (const uint8_t *)context.txt.data();
            RaopFormat read = TxtRaopFormat(txt, context.txt.size());
            auto record = state.raop.find(deviceId);
            if (record != state.raop.end() && record->second.name == raopName)
                record->second.format = read;
            if (passwordFlag) *passwordFlag = context.passwordFlag;
            if (port) *port = context.port;
            if (format) *format = read;
            return CFStringFromBytes(context.address, 0);
        }
    }
    RESOLVE_LOG(
        "mDNS resolver didn't receive response in an appropriate amount of time (Err %i).\n",
        result);
    return nullptr;
}

RaopFormat SpeakerFormat(const char *raopName) {
    char key[64];
    if (raopName && RaopNameKey(raopName, key)) {
        auto found = state.raop.find(key);
        if (found != state.raop.end() && found->second.name == raopName)
            return found->second.format;
    }
    return RaopFormat{kRaopCodecAacEld, 0, 0};
}

const char *RaopShownName(const char *raopName) {
    const char *at = raopName ? strchr(raopName, '@') : nullptr;
    return at ? at + 1 : (raopName ? raopName : "");
}

void ServiceListRemove(const CFValue *name) {
    if (!CFValueIsKind(ServiceList, kCFArray)) return;
    int32_t index = IndexOf(ServiceList, name);
    if (index < 0) return;
    CFArrayFields &array = ServiceList->array;
    CFValue *gone = array.elements[index];
    memmove(array.elements + index, array.elements + index + 1,
            (array.count - (uint32_t)index - 1) * sizeof(CFValue *));
    array.count--;
    CFValueRelease(gone);
}

// ---- Portable pieces ----

void DiscoveryBrowseReply(uint32_t flags, int error, const char *serviceName,
                          const char *serviceType) {
    if (error || !serviceName || !serviceType) return;
    if (!strcmp(serviceType, "_airplay._tcp.")) {
        if (flags & kDiscoveryAdd)
            AirPlayAdd(flags, serviceName);
        else
            AirPlayRemove(serviceName);
    } else if (!strcmp(serviceType, "_raop._tcp.")) {
        RaopSeen(serviceName);
        RaopBrowsed((flags & kDiscoveryAdd) != 0, serviceName);
    }
}

int RaopNameKey(const char *raopName, char key[64]) {
    const char *at = raopName ? strchr(raopName, '@') : nullptr;
    if (!at || at == raopName || at - raopName > 63) return 0;
    size_t length = (size_t)(at - raopName);
    for (size_t i = 0; i < length; i++)
        key[i] = (char)tolower((unsigned char)raopName[i]);
    key[length] = '\0';
    return 1;
}

int TxtRecordFind(const uint8_t *txt, size_t txtLength, const char *key, const uint8_t **value,
                  uint8_t *valueLength) {
    size_t keyLength = strlen(key);
    size_t offset = 0;
    while (txt && offset < txtLength) {
        size_t length = txt[offset];
        const uint8_t *item = txt + offset + 1;
        if (length > txtLength - offset - 1) return 0; // a string running past the record
        offset += 1 + length;
        if (length < keyLength) continue;
        // Keys compare without regard to ASCII case.
        size_t i = 0;
        while (i < keyLength && tolower(item[i]) == tolower((unsigned char)key[i]))
            i++;
        if (i < keyLength) continue;
        if (length == keyLength) {
            *value = nullptr;
            *valueLength = 0;
            return 1;
        }
        if (item[keyLength] != '=') continue;
        *value = item + keyLength + 1;
        *valueLength = (uint8_t)(length - keyLength - 1);
        return 1;
    }
    return 0;
}

void TxtDeviceId(const uint8_t *txt, size_t txtLength, char deviceId[64]) {
    const uint8_t *value = nullptr;
    uint8_t length = 0;
    size_t out = 0;
    if (TxtRecordFind(txt, txtLength, "deviceid", &value, &length)) {
        for (uint8_t i = 0; i < length && out < 63; i++) {
            if (value[i] == ':') continue;
            // A NUL inside the value would cut the id short; drop it like a separator.
            if (value[i] == 0) continue;
            deviceId[out++] = (char)tolower(value[i]);
        }
    }
    deviceId[out] = '\0';
}

uint8_t TxtPasswordFlag(const uint8_t *txt, size_t txtLength) {
    for (const char *key : {"pw", "pin"}) {
        const uint8_t *value = nullptr;
        uint8_t length = 0;
        if (TxtRecordFind(txt, txtLength, key, &value, &length) && length > 0 &&
            (value[0] == '1' || value[0] == 'T' || value[0] == 't'))
            return 1;
    }
    return 0;
}

namespace {

// Whether a comma-separated list of numbers ("0,1,2,3") holds number.
bool TxtListHas(const uint8_t *value, uint8_t length, int number) {
    int current = -1;
    for (int i = 0; i <= length; i++) {
        int c = i < length ? value[i] : ',';
        if (c >= '0' && c <= '9') {
            current = (current < 0 ? 0 : current) * 10 + (c - '0');
            if (current > 1000) current = 1000;
        } else if (c == ',') {
            if (current == number) return true;
            current = -1;
        } else if (c != ' ') {
            current = -2; // not a number: this piece counts for nothing
            while (i + 1 < length && value[i + 1] != ',')
                i++;
        }
    }
    return false;
}

} // namespace

RaopFormat TxtRaopFormat(const uint8_t *txt, size_t txtLength) {
    RaopFormat format{kRaopCodecAacEld, 0, 1};
    const uint8_t *value = nullptr;
    uint8_t length = 0;
    // An empty list says nothing.
    if (TxtRecordFind(txt, txtLength, "cn", &value, &length) && length > 0) {
        if (TxtListHas(value, length, kRaopCodecAacEld))
            format.codec = kRaopCodecAacEld;
        else if (TxtListHas(value, length, kRaopCodecAlac))
            format.codec = kRaopCodecAlac;
        else if (TxtListHas(value, length, kRaopCodecPcm))
            format.codec = kRaopCodecPcm;
        else
            format.codec = kRaopCodecNone;
    }
    if (TxtRecordFind(txt, txtLength, "et", &value, &length) && length > 0)
        format.encryptedOnly = TxtListHas(value, length, 0) ? 0 : 1;
    return format;
}
