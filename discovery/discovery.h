// Receiver discovery: browses "_airplay._tcp" and "_raop._tcp" over DNS-SD (Avahi), keeps the
// sorted list of receiver names the menu shows, pairs each receiver with its audio service by
// hardware address, and resolves a chosen receiver into an address, device id, password flag
// and audio port.
//
// Threads. The lists below belong to one owner thread (the user-interface thread): only it
// reads or changes them, so they need no lock. Browse replies arrive on Avahi's own threads
// and are queued; the owner applies them by calling DiscoveryProcessEvents when the
// descriptor DiscoveryNotifyFd becomes readable (a QSocketNotifier in the shell, poll() in a
// command-line run), or when the optional wake callback asks it to. A restart prepares its
// browses on a short-lived thread and queues the hand-over, so the lists are replaced on the
// owner thread between two events, never under a reader's feet.
//
// Shell wiring:
//   start-up:  DiscoveryRestart(nullptr); watch DiscoveryNotifyFd() -> DiscoveryProcessEvents()
//   address change monitor: NetworkMonitorStart(DiscoveryRestart, nullptr)
//   suspend:   DiscoveryForgetList(); NetworkMonitorStop()
//   connection ended (AirPlayWasDisconnected): DiscoveryForgetSelection()
//   resume:    DiscoveryRestart(nullptr); NetworkMonitorStart(...)
//   exit:      DiscoveryShutdown()
//   connecting: ResolveAirPlayService then AudioServicePort (both block, bounded)
//   a speaker:  ResolveSpeaker (blocks, bounded)
//
// Speakers. A "_raop._tcp" service whose hardware address no "_airplay._tcp" receiver has
// plays sound only. Each announced service's TXT record is read in the background (a
// receiver's "deviceid", a sound service's "cn" and "et"), so that speakers can be told from
// receivers and their formats shown without a wait.
#pragma once

#include <cstddef>
#include <cstdint>

struct CFValue;

// AirPlay service names as announced, no two alike, sorted case-insensitively after each batch
// of additions; null before the first start and after DiscoveryForgetList. Owner thread only.
extern CFValue *ServiceList;
// Index in ServiceList of the receiver of the current connection, -1 for none. The controller
// writes it when a connection starts; discovery keeps it on the same name as the list changes
// and sets it to -1 when that name leaves the list. Over a restart (or suspend) the name is
// carried and marked again once it is announced again, unless the controller selected another
// receiver or called DiscoveryForgetSelection meanwhile.
extern int32_t SelectedReceiverIndex;
// Lower-case hardware address (text before "@" of a RAOP name) -> the RAOP service name until
// resolved, then its TCP port (unsigned number, host order). Owner thread only.
extern CFValue *AudioServiceMap;

// Speakers: full "_raop._tcp" names ("5855CA1AE288@Kitchen"), no two alike, sorted
// case-insensitively by the name after "@"; null before the first start and after
// DiscoveryForgetList. A sound service leaves the list when it is withdrawn or once a
// receiver with its hardware address is seen. Owner thread only.
extern CFValue *SpeakerList;
// Index in SpeakerList of the speaker of the current sound-only session, -1 for none; kept on
// the same name as the list changes, -1 when that name leaves. Written by the controller.
extern int32_t SelectedSpeakerIndex;

// What a sound service plays, from its TXT record: "cn" lists codec numbers (0 PCM, 1 ALAC,
// 2 AAC, 3 AAC-ELD), "et" encryption types (0 none).
constexpr int32_t kRaopCodecPcm = 0;
constexpr int32_t kRaopCodecAlac = 1;
constexpr int32_t kRaopCodecAacEld = 3;
constexpr int32_t kRaopCodecNone = -1; // nothing offered that the program sends
struct RaopFormat {
    int32_t codec;         // what to send: AAC-ELD, else ALAC, else PCM; kRaopCodecNone
    uint8_t encryptedOnly; // "et" present without 0
    uint8_t known;         // 1 once a TXT record was read; the fields are defaults before
};

// Port used when a receiver's audio service is unknown.
constexpr uint16_t kFallbackAudioPort = 49152;
// How long a resolve, its address query and an audio-port resolve may take together.
extern int DiscoveryResolveTimeoutMs; // 5000

// Starts discovery afresh: the thread entry body. Blocks while it connects to avahi-daemon
// (or starts the embedded responder) and sets up both browses, then queues the hand-over of
// the new lists to the owner thread. Safe from any thread; concurrent calls run one by one.
void DiscoveryStart();
// Runs DiscoveryStart on a new short-lived thread (joining the previous one first); the
// signature fits NetworkMonitorStart's restart callback. context is unused. Any thread.
void DiscoveryRestart(void *context);

// The descriptor that becomes readable when browse replies or a restart wait for the owner
// thread. Created on first use; stays valid until the process ends. -1 when the system
// refuses an eventfd.
int DiscoveryNotifyFd();
// Optional second way to reach the owner thread: called (on whatever thread queued the
// work) each time there is something to process; it should post a queued call to
// DiscoveryProcessEvents. Set it before the first start.
typedef void (*DiscoveryWakeFn)(void *context);
void DiscoverySetWake(DiscoveryWakeFn wake, void *context);
// Owner thread: applies queued restarts and browse replies. Returns how many changes to
// ServiceList it made (menus built from the list are stale when non-zero).
int DiscoveryProcessEvents();

// Owner thread, on suspend: releases ServiceList and leaves none (browse replies are then
// ignored) until the next restart.
void DiscoveryForgetList();
// Owner thread, when the connection to the selected receiver ends (with SelectedReceiverIndex
// := -1): a selection carried over a restart or suspend is then not marked again when its
// name returns.
void DiscoveryForgetSelection();
// Owner thread, at exit: joins the restart thread, ends the browses and releases the lists.
// The embedded responder, once started, serves until the process ends.
void DiscoveryShutdown();

// Owner thread. Resolves an AirPlay service name into a new CFString of its dotted IPv4
// address, fills deviceId (64 bytes: the TXT "deviceid" without ":" and lower-cased, "" when
// absent) and *passwordFlag; no value (and the "didn't receive response" line) when nothing
// answered within DiscoveryResolveTimeoutMs.
CFValue *ResolveAirPlayService(const char *serviceName, char deviceId[64], uint8_t *passwordFlag);
// Owner thread. The receiver's audio TCP port, resolving its RAOP service the first time;
// kFallbackAudioPort when unknown.
uint16_t AudioServicePort(const char *deviceId);
// Owner thread. What to send to a receiver's sound service (its RAOP record, read by the
// background lookup or AudioServicePort): kRaopCodecAacEld when unknown, when "cn" is
// absent, or when "cn" offers nothing the program sends (logged).
int32_t AudioServiceCodec(const char *deviceId);
// Owner thread. Resolves a speaker (a full RAOP name) into a new CFString of its dotted IPv4
// address, its device id (the hex part of the name, lower-cased), password flag, RTSP port
// and format; no value when nothing answered within DiscoveryResolveTimeoutMs.
CFValue *ResolveSpeaker(const char *raopName, char deviceId[64], uint8_t *passwordFlag,
                        uint16_t *port, RaopFormat *format);
// Owner thread. A speaker's format as last read (known 0 when no TXT record was read yet).
RaopFormat SpeakerFormat(const char *raopName);
// The name a RAOP service shows: the text after its first "@" (the whole name without one).
const char *RaopShownName(const char *raopName);

// Owner thread. Removes the first entry equal to name from ServiceList and releases it.
void ServiceListRemove(const CFValue *name);

// The embedded responder's thread: started at most once per process, when avahi-daemon does
// not answer. How many times it was started (0 or 1), for diagnostics and tests.
int EmbeddedResponderStarts();
// Whether the current browses go through the embedded responder (owner thread).
bool DiscoveryUsesEmbeddedResponder();
// Counts the restarts applied on the owner thread (0 before the first).
uint64_t DiscoveryGeneration();

// ---- Portable pieces, also used by the fuzz target ----

// Browse-reply flags as the handlers see them.
constexpr uint32_t kDiscoveryMoreComing = 0x1;
constexpr uint32_t kDiscoveryAdd = 0x2;

// Applies one browse reply to ServiceList / AudioServiceMap. serviceType is "_airplay._tcp."
// or "_raop._tcp."; anything else is ignored, as is a reply with a non-zero error.
void DiscoveryBrowseReply(uint32_t flags, int error, const char *serviceName,
                          const char *serviceType);
// The audio-map key of a RAOP service name: the bytes before the first "@", lower-cased, into
// key (64 bytes). Returns 0 when there is no "@" or it stands at position 0 or beyond 63.
int RaopNameKey(const char *raopName, char key[64]);
// Finds key in a DNS TXT record (length-prefixed strings). Returns 1 and the value (not
// terminated; null with length 0 for a key without "=") or 0 when absent.
int TxtRecordFind(const uint8_t *txt, size_t txtLength, const char *key, const uint8_t **value,
                  uint8_t *valueLength);
// The device id of a TXT record into deviceId (64 bytes), the way ResolveAirPlayService
// reports it.
void TxtDeviceId(const uint8_t *txt, size_t txtLength, char deviceId[64]);
// 1 when TXT "pw" (or, failing that, "pin") starts with 1, T or t.
uint8_t TxtPasswordFlag(const uint8_t *txt, size_t txtLength);
// The format a RAOP TXT record offers (known 1). Without "cn": AAC-ELD; without "et": not
// encrypted only.
RaopFormat TxtRaopFormat(const uint8_t *txt, size_t txtLength);
