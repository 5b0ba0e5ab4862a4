// Between the portable discovery logic (discovery.cpp) and the Avahi layer (ov_avahi.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <pthread.h>
#include <string>
#include <vector>

#include "base/event.h"
#include "base/thread.h"

struct AvahiSimplePoll;
struct DiscoverySession;

// The background read of one announced service's TXT record (loop thread; freed with the
// service's last instance, a lost daemon or the session).
struct DiscoveryLookup {
    DiscoverySession *session;
    bool raop;
    std::string name;
    void *query; // the backend's service resolver
};

// An Avahi simple poll run on a thread of its own. Avahi objects attached to it are touched
// by other threads only between OvAvahiLoopLock and OvAvahiLoopUnlock; callbacks run on the
// loop thread with the lock held, so an object freed under the lock never calls back again.
struct OvAvahiLoop {
    AvahiSimplePoll *poll;
    pthread_mutex_t mutex;
    Thread thread;
    bool quit;      // under mutex
    Event *started; // set by the loop thread as it begins serving
    const char *threadName;
    bool announce; // the embedded responder's loop logs its start
};

OvAvahiLoop *OvAvahiLoopNew(const char *threadName);
// Starts the loop thread; 0 when the system refuses a thread.
int OvAvahiLoopStart(OvAvahiLoop *loop);
void OvAvahiLoopLock(OvAvahiLoop *loop);
void OvAvahiLoopUnlock(OvAvahiLoop *loop);
// Stops and joins the thread (never from the loop thread), then frees the poll.
void OvAvahiLoopFree(OvAvahiLoop *loop);

enum DiscoveryQueryKind { kQueryBrowse, kQueryService, kQueryHost };

// One way of reaching DNS-SD: avahi-daemon through the client library, or the embedded
// responder. Every operation except close runs with the session's loop locked.
struct DiscoveryBackendOps {
    const char *name;
    // A browse of type in "local"; its replies go to DiscoveryQueueBrowse. 0 or an Avahi error.
    int (*browse)(DiscoverySession *session, const char *type, void **browser);
    // Resolves a service (without its address); replies go to DiscoveryResolveReply.
    void *(*resolveService)(DiscoverySession *session, const char *name, const char *type,
                            const char *domain, void *context, int *error);
    // The IPv4 address of host; replies go to DiscoveryAddressReply.
    void *(*resolveHost)(DiscoverySession *session, const char *host, void *context, int *error);
    void (*freeQuery)(DiscoveryQueryKind kind, void *query);
    // Ends the session's connection (loop unlocked; owner thread).
    void (*close)(DiscoverySession *session);
    // Reads a service's TXT record and port in the background; replies go to
    // DiscoveryQueueLookup. Freed with freeQuery(kQueryService).
    void *(*lookup)(DiscoverySession *session, DiscoveryLookup *lookup, int *error);
};

struct DiscoverySession {
    uint64_t generation;
    const DiscoveryBackendOps *ops;
    OvAvahiLoop *loop; // the client's own loop, or the embedded responder's
    void *handle;      // AvahiClient or AvahiServer
    void *airplayBrowser;
    void *raopBrowser;
    // Instances seen per service name over every interface and protocol, so that a name
    // leaves the list only when its last instance has gone. Loop thread only.
    std::map<std::string, int> instances[2];
    // The TXT lookups of the names in instances, same index. Loop thread only.
    std::map<std::string, DiscoveryLookup *> lookups[2];
    // avahi-daemon sessions only, loop thread: a client whose daemon went away is replaced
    // by reconnectTimer; the old clients stay until the session closes, since a resolve may
    // still hold one of their queries.
    void *reconnectTimer; // AvahiTimeout
    bool reconnecting;
    std::vector<void *> retiredClients;
};

// Opens a session over avahi-daemon, or over the embedded responder (started once) when no
// daemon answers; both browses running. Null on failure (logged).
DiscoverySession *OvAvahiSessionOpen(uint64_t generation);
// Ends the browses and frees the session (owner thread, loop unlocked).
void OvAvahiSessionClose(DiscoverySession *session);

// Called by the Avahi layer on the loop thread.
void DiscoveryQueueBrowse(DiscoverySession *session, bool add, const char *name, const char *type,
                          int interface, int protocol);
// A background lookup's answer (loop thread): queued for the owner thread.
void DiscoveryQueueLookup(DiscoverySession *session, bool raop, const char *name, uint16_t port,
                          const uint8_t *txt, size_t txtLength);
void DiscoveryResolveReply(void *context, int error, const char *hostTarget, uint16_t port,
                           const uint8_t *txt, size_t txtLength);
void DiscoveryAddressReply(void *context, int error, const char *addressText);

// Test hook: how many embedded responders this process started.
int OvEmbeddedResponderStarts();
