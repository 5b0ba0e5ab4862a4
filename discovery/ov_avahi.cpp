// The Avahi side of discovery: a locked simple-poll loop on a thread of its own, the client
// library against avahi-daemon, and the embedded responder (libavahi-core) when no daemon runs.
#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/strlst.h>
#include <avahi-common/timeval.h>
#include <avahi-core/core.h>
#include <avahi-core/log.h>
#include <avahi-core/lookup.h>
#include <cstring>
#include <new>
#include <poll.h>
#include <vector>

#include "base/log.h"
#include "discovery/discovery_internal.h"

// ---- The loop ----

namespace {

int UnlockedPoll(struct pollfd *fds, unsigned int count, int timeout, void *userdata) {
    OvAvahiLoop *loop = (OvAvahiLoop *)userdata;
    pthread_mutex_unlock(&loop->mutex);
    int result = poll(fds, count, timeout);
    pthread_mutex_lock(&loop->mutex);
    return result;
}

void LoopMain(void *arg) {
    OvAvahiLoop *loop = (OvAvahiLoop *)arg;
    pthread_mutex_lock(&loop->mutex);
    EventSet(loop->started);
    if (loop->announce) DebugLog(2, "Starting embedded mDNSResponder service\n");
    while (!loop->quit) {
        if (avahi_simple_poll_iterate(loop->poll, -1) != 0) break;
    }
    pthread_mutex_unlock(&loop->mutex);
}

} // namespace

OvAvahiLoop *OvAvahiLoopNew(const char *threadName) {
    OvAvahiLoop *loop = new (std::nothrow) OvAvahiLoop{};
    if (!loop) return nullptr;
    loop->poll = avahi_simple_poll_new();
    loop->started = EventCreate(true, false);
    if (!loop->poll || !loop->started) {
        if (loop->poll) avahi_simple_poll_free(loop->poll);
        if (loop->started) EventClose(loop->started);
        delete loop;
        return nullptr;
    }
    pthread_mutex_init(&loop->mutex, nullptr);
    loop->threadName = threadName;
    avahi_simple_poll_set_func(loop->poll, UnlockedPoll, loop);
    return loop;
}

int OvAvahiLoopStart(OvAvahiLoop *loop) {
    return ThreadStart(&loop->thread, loop->threadName, LoopMain, loop);
}

void OvAvahiLoopLock(OvAvahiLoop *loop) {
    pthread_mutex_lock(&loop->mutex);
}

void OvAvahiLoopUnlock(OvAvahiLoop *loop) {
    // The loop thread may sit in poll() with a descriptor set that predates our changes.
    if (!ThreadIsCurrent(&loop->thread)) avahi_simple_poll_wakeup(loop->poll);
    pthread_mutex_unlock(&loop->mutex);
}

namespace {

// Ends the loop thread, if it runs; afterwards no callback can run.
void LoopStop(OvAvahiLoop *loop) {
    if (ThreadIsStarted(&loop->thread)) {
        pthread_mutex_lock(&loop->mutex);
        loop->quit = true;
        avahi_simple_poll_quit(loop->poll);
        avahi_simple_poll_wakeup(loop->poll);
        pthread_mutex_unlock(&loop->mutex);
        ThreadJoin(&loop->thread);
    }
}

} // namespace

void OvAvahiLoopFree(OvAvahiLoop *loop) {
    if (!loop) return;
    LoopStop(loop);
    avahi_simple_poll_free(loop->poll);
    EventClose(loop->started);
    pthread_mutex_destroy(&loop->mutex);
    delete loop;
}

// ---- Shared reply plumbing ----

namespace {

// The index of a browse type in DiscoverySession::instances.
int TypeSlot(const char *type) {
    return strncmp(type, "_raop._tcp", 10) == 0 ? 1 : 0;
}

void EndLookup(DiscoverySession *session, int slot, const std::string &name) {
    auto found = session->lookups[slot].find(name);
    if (found == session->lookups[slot].end()) return;
    session->ops->freeQuery(kQueryService, found->second->query);
    delete found->second;
    session->lookups[slot].erase(found);
}

void EndLookups(DiscoverySession *session) {
    for (int slot = 0; slot < 2; slot++) {
        for (auto &entry : session->lookups[slot]) {
            session->ops->freeQuery(kQueryService, entry.second->query);
            delete entry.second;
        }
        session->lookups[slot].clear();
    }
}

// A new name's TXT record is read at once: whether a sound service belongs to a receiver,
// and what a speaker plays, are then known before anyone opens the menu.
void BeginLookup(DiscoverySession *session, int slot, const std::string &name) {
    if (!session->ops->lookup || session->lookups[slot].count(name)) return;
    DiscoveryLookup *lookup = new (std::nothrow) DiscoveryLookup{session, slot == 1, name, nullptr};
    if (!lookup) return;
    int error = 0;
    lookup->query = session->ops->lookup(session, lookup, &error);
    if (!lookup->query) {
        DebugLog(1, "DNS-SD: the TXT record of \"%s\" could not be asked for: %s\n", name.c_str(),
                 avahi_strerror(error));
        delete lookup;
        return;
    }
    session->lookups[slot][name] = lookup;
}

// Counts instances per name so that a name is added once and removed with its last instance.
void BrowseEvent(DiscoverySession *session, bool add, const char *name, const char *type,
                 int interface, int protocol) {
    if (!name || !type) return;
    int slot = TypeSlot(type);
    std::map<std::string, int> &seen = session->instances[slot];
    std::string key(name);
    int &count = seen[key];
    if (add) {
        if (count++ > 0) return;
    } else {
        if (count == 0) {
            seen.erase(key);
            return;
        }
        if (--count > 0) return;
        seen.erase(key);
    }
    DiscoveryQueueBrowse(session, add, name, type, interface, protocol);
    if (add)
        BeginLookup(session, slot, key);
    else
        EndLookup(session, slot, key);
}

// A lookup's answer; later changes of the record come again through the same resolver.
void LookupReply(void *userdata, bool found, uint16_t port, AvahiStringList *txt) {
    DiscoveryLookup *lookup = (DiscoveryLookup *)userdata;
    if (!found) return; // the service stays listed; its record is simply not known
    std::vector<uint8_t> bytes;
    if (txt) {
        bytes.resize(avahi_string_list_serialize(txt, nullptr, 0) + 1);
        bytes.resize(avahi_string_list_serialize(txt, bytes.data(), bytes.size()));
    }
    DiscoveryQueueLookup(lookup->session, lookup->raop, lookup->name.c_str(), port, bytes.data(),
                         bytes.size());
}

void ReplyWithTxt(void *context, int error, const char *host, uint16_t port, AvahiStringList *txt) {
    std::vector<uint8_t> bytes;
    if (txt) {
        size_t need = avahi_string_list_serialize(txt, nullptr, 0);
        bytes.resize(need + 1);
        need = avahi_string_list_serialize(txt, bytes.data(), bytes.size());
        bytes.resize(need);
    }
    DiscoveryResolveReply(context, error, host, port, bytes.data(), bytes.size());
}

void ReplyWithAddress(void *context, int error, const AvahiAddress *address) {
    char text[AVAHI_ADDRESS_STR_MAX] = "";
    if (error == 0 && address && address->proto == AVAHI_PROTO_INET) {
        avahi_address_snprint(text, sizeof text, address);
        DiscoveryAddressReply(context, 0, text);
    } else {
        DiscoveryAddressReply(context, error ? error : AVAHI_ERR_INVALID_ADDRESS, nullptr);
    }
}

void BrowseReply(AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
                 const char *name, const char *type, void *userdata) {
    if (event == AVAHI_BROWSER_NEW || event == AVAHI_BROWSER_REMOVE)
        BrowseEvent((DiscoverySession *)userdata, event == AVAHI_BROWSER_NEW, name, type, interface,
                    protocol);
}

// An untyped object as the type f takes.
template <typename R, typename T> T *ArgOf(R (*)(T *), void *object) {
    return (T *)object;
}

// The client library and the embedded stack offer the same calls on their own types; Api
// names one side's (see ClientApi, ServerApi), so that one set of backend functions serves
// both.
template <typename Api> int ApiBrowse(DiscoverySession *session, const char *type, void **browser) {
    auto *handle = ArgOf(Api::Errno, session->handle);
    *browser = Api::BrowserNew(handle, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type, "local",
                               (AvahiLookupFlags)0, Api::BrowseReply, session);
    return *browser ? 0 : Api::Errno(handle);
}

template <typename Api>
void *ApiResolveService(DiscoverySession *session, const char *name, const char *type,
                        const char *domain, void *context, int *error) {
    if (!session->handle) { // between two daemon connections
        *error = AVAHI_ERR_DISCONNECTED;
        return nullptr;
    }
    auto *handle = ArgOf(Api::Errno, session->handle);
    void *query = Api::ServiceResolverNew(handle, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, name, type,
                                          domain, AVAHI_PROTO_INET, AVAHI_LOOKUP_NO_ADDRESS,
                                          Api::ResolveReply, context);
    *error = query ? 0 : Api::Errno(handle);
    return query;
}

template <typename Api>
void *ApiLookup(DiscoverySession *session, DiscoveryLookup *lookup, int *error) {
    if (!session->handle) {
        *error = AVAHI_ERR_DISCONNECTED;
        return nullptr;
    }
    auto *handle = ArgOf(Api::Errno, session->handle);
    void *query = Api::ServiceResolverNew(
        handle, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, lookup->name.c_str(),
        lookup->raop ? "_raop._tcp" : "_airplay._tcp", "local", AVAHI_PROTO_INET,
        AVAHI_LOOKUP_NO_ADDRESS, Api::LookupReply, lookup);
    *error = query ? 0 : Api::Errno(handle);
    return query;
}

template <typename Api>
void *ApiResolveHost(DiscoverySession *session, const char *host, void *context, int *error) {
    if (!session->handle) {
        *error = AVAHI_ERR_DISCONNECTED;
        return nullptr;
    }
    auto *handle = ArgOf(Api::Errno, session->handle);
    void *query =
        Api::HostResolverNew(handle, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, host, AVAHI_PROTO_INET,
                             (AvahiLookupFlags)0, Api::AddressReply, context);
    *error = query ? 0 : Api::Errno(handle);
    return query;
}

template <typename Api> void ApiFreeQuery(DiscoveryQueryKind kind, void *query) {
    if (!query) return;
    if (kind == kQueryBrowse) Api::BrowserFree(ArgOf(Api::BrowserFree, query));
    if (kind == kQueryService) Api::ServiceResolverFree(ArgOf(Api::ServiceResolverFree, query));
    if (kind == kQueryHost) Api::HostResolverFree(ArgOf(Api::HostResolverFree, query));
}

// ---- avahi-daemon through the client library ----

int BrowseBoth(DiscoverySession *session);

// How soon a failed attempt to make a new client is tried again.
constexpr int kClientRetryMs = 2000;

void ScheduleReconnect(DiscoverySession *session, int delayMs);

void ClientState(AvahiClient *client, AvahiClientState state, void *userdata) {
    DiscoverySession *session = (DiscoverySession *)userdata;
    if (state == AVAHI_CLIENT_S_RUNNING && session && session->reconnecting) {
        // The daemon is back (this may run inside avahi_client_new): browse anew.
        session->reconnecting = false;
        session->handle = client;
        int error = BrowseBoth(session);
        if (error)
            DebugLog(2, "DNS-SD daemon is back, but browsing failed: %s\n", avahi_strerror(error));
        else
            DebugLog(2, "DNS-SD daemon is back; browsing again\n");
        return;
    }
    if (state != AVAHI_CLIENT_FAILURE) return;
    int error = avahi_client_errno(client);
    DebugLog(2, "DNS-SD daemon connection failed: %s\n", avahi_strerror(error));
    // A daemon that went away (stopped, restarted, updated) is waited for by a new client;
    // this one cannot be freed from inside its own callback.
    if (session && session->handle == client) {
        session->reconnecting = true;
        ScheduleReconnect(session, 0);
    }
}

void ClientBrowseReply(AvahiServiceBrowser *, AvahiIfIndex interface, AvahiProtocol protocol,
                       AvahiBrowserEvent event, const char *name, const char *type, const char *,
                       AvahiLookupResultFlags, void *userdata) {
    BrowseReply(interface, protocol, event, name, type, userdata);
}

void ClientResolveReply(AvahiServiceResolver *resolver, AvahiIfIndex, AvahiProtocol,
                        AvahiResolverEvent event, const char *, const char *, const char *,
                        const char *host, const AvahiAddress *, uint16_t port, AvahiStringList *txt,
                        AvahiLookupResultFlags, void *userdata) {
    int error = event == AVAHI_RESOLVER_FOUND
                    ? 0
                    : avahi_client_errno(avahi_service_resolver_get_client(resolver));
    if (event != AVAHI_RESOLVER_FOUND && error == 0) error = AVAHI_ERR_TIMEOUT;
    ReplyWithTxt(userdata, error, host, port, txt);
}

void ClientLookupReply(AvahiServiceResolver *, AvahiIfIndex, AvahiProtocol,
                       AvahiResolverEvent event, const char *, const char *, const char *,
                       const char *, const AvahiAddress *, uint16_t port, AvahiStringList *txt,
                       AvahiLookupResultFlags, void *userdata) {
    LookupReply(userdata, event == AVAHI_RESOLVER_FOUND, port, txt);
}

void ClientAddressReply(AvahiHostNameResolver *resolver, AvahiIfIndex, AvahiProtocol,
                        AvahiResolverEvent event, const char *, const AvahiAddress *address,
                        AvahiLookupResultFlags, void *userdata) {
    int error = 0;
    if (event != AVAHI_RESOLVER_FOUND) {
        error = avahi_client_errno(avahi_host_name_resolver_get_client(resolver));
        if (error == 0) error = AVAHI_ERR_TIMEOUT;
    }
    ReplyWithAddress(userdata, error, address);
}

struct ClientApi {
    static constexpr auto Errno = avahi_client_errno;
    static constexpr auto BrowserNew = avahi_service_browser_new;
    static constexpr auto ServiceResolverNew = avahi_service_resolver_new;
    static constexpr auto HostResolverNew = avahi_host_name_resolver_new;
    static constexpr auto BrowserFree = avahi_service_browser_free;
    static constexpr auto ServiceResolverFree = avahi_service_resolver_free;
    static constexpr auto HostResolverFree = avahi_host_name_resolver_free;
    static constexpr auto BrowseReply = ClientBrowseReply;
    static constexpr auto ResolveReply = ClientResolveReply;
    static constexpr auto LookupReply = ClientLookupReply;
    static constexpr auto AddressReply = ClientAddressReply;
};

// Drops what the old daemon reported: the receivers leave the list until the new daemon
// announces them again, so none stays that went away meanwhile.
void ForgetInstances(DiscoverySession *session) {
    EndLookups(session);
    for (const auto &entry : session->instances[0])
        DiscoveryQueueBrowse(session, false, entry.first.c_str(), "_airplay._tcp", -1, -1);
    session->instances[0].clear();
    // Audio services stay in their map (a new announcement replaces them), but speakers
    // leave the list like receivers.
    for (const auto &entry : session->instances[1])
        DiscoveryQueueBrowse(session, false, entry.first.c_str(), "_raop._tcp", -1, -1);
    session->instances[1].clear();
}

void ReplaceClient(AvahiTimeout *, void *userdata) {
    DiscoverySession *session = (DiscoverySession *)userdata;
    if (session->handle) {
        ApiFreeQuery<ClientApi>(kQueryBrowse, session->airplayBrowser);
        ApiFreeQuery<ClientApi>(kQueryBrowse, session->raopBrowser);
        session->airplayBrowser = session->raopBrowser = nullptr;
        session->retiredClients.push_back(session->handle);
        session->handle = nullptr;
        ForgetInstances(session);
    }
    session->reconnecting = true;
    int error = 0;
    // Waits in the "connecting" state until a daemon answers; ClientState then browses.
    AvahiClient *client = avahi_client_new(avahi_simple_poll_get(session->loop->poll),
                                           AVAHI_CLIENT_NO_FAIL, ClientState, session, &error);
    if (!client) {
        DebugLog(2, "DNS-SD daemon could not be reached again (%s); trying again\n",
                 avahi_strerror(error));
        ScheduleReconnect(session, kClientRetryMs);
        return;
    }
    session->handle = client;
}

void ScheduleReconnect(DiscoverySession *session, int delayMs) {
    const AvahiPoll *api = avahi_simple_poll_get(session->loop->poll);
    timeval when;
    avahi_elapse_time(&when, (unsigned)delayMs, 0);
    if (session->reconnectTimer)
        api->timeout_update((AvahiTimeout *)session->reconnectTimer, &when);
    else
        session->reconnectTimer = api->timeout_new(api, &when, ReplaceClient, session);
}

void ClientClose(DiscoverySession *session) {
    // Stopping the loop first means no callback can run while the objects go away.
    OvAvahiLoop *loop = session->loop;
    LoopStop(loop);
    if (session->reconnectTimer)
        avahi_simple_poll_get(loop->poll)->timeout_free((AvahiTimeout *)session->reconnectTimer);
    EndLookups(session);
    ApiFreeQuery<ClientApi>(kQueryBrowse, session->airplayBrowser);
    ApiFreeQuery<ClientApi>(kQueryBrowse, session->raopBrowser);
    if (session->handle) avahi_client_free((AvahiClient *)session->handle);
    for (void *retired : session->retiredClients)
        avahi_client_free((AvahiClient *)retired);
    OvAvahiLoopFree(loop);
}

const DiscoveryBackendOps kClientOps = {
    "avahi-daemon",
    ApiBrowse<ClientApi>,
    ApiResolveService<ClientApi>,
    ApiResolveHost<ClientApi>,
    ApiFreeQuery<ClientApi>,
    ClientClose,
    ApiLookup<ClientApi>,
};

// ---- The embedded responder ----

// The responder is never freed and never publishes: libavahi-core frees entry groups through a
// function whose name libavahi-client exports too, and the dynamic linker binds that call to the
// client library's, so a server holding groups cannot be freed in a process linking both.
struct EmbeddedResponder {
    pthread_mutex_t mutex; // guards the start
    OvAvahiLoop *loop;
    AvahiServer *server;
    int starts;
};

EmbeddedResponder responder = {PTHREAD_MUTEX_INITIALIZER, nullptr, nullptr, 0};

void ServerState(AvahiServer *server, AvahiServerState state, void *) {
    if (state == AVAHI_SERVER_COLLISION) {
        // Another host on the link uses our name: take the next one.
        char *next = avahi_alternative_host_name(avahi_server_get_host_name(server));
        if (next) {
            avahi_server_set_host_name(server, next);
            avahi_free(next);
        }
    }
}

// The embedded stack's own messages join the program's log at the diagnostic level.
void ResponderLog(AvahiLogLevel level, const char *text) {
    DebugLog(level <= AVAHI_LOG_WARN ? 1 : 0, "mDNS: %s\n", text);
}

// Creates the embedded server and its thread once per process; 1 when it serves.
int EmbeddedResponderStart() {
    pthread_mutex_lock(&responder.mutex);
    if (responder.server) {
        pthread_mutex_unlock(&responder.mutex);
        return 1;
    }
    avahi_set_log_function(ResponderLog);
    OvAvahiLoop *loop = OvAvahiLoopNew("mDNSResponder");
    if (loop) loop->announce = true;
    if (!loop) {
        pthread_mutex_unlock(&responder.mutex);
        DebugLog(2, "mDNSd thread could not be created\n");
        return 0;
    }
    AvahiServerConfig config;
    avahi_server_config_init(&config);
    // A browsing-only responder: it announces nothing of this machine.
    config.use_ipv6 = 0;
    config.publish_hinfo = 0;
    config.publish_addresses = 0;
    config.publish_workstation = 0;
    config.publish_domain = 0;
    config.publish_aaaa_on_ipv4 = 0;
    config.publish_a_on_ipv6 = 0;
    config.enable_wide_area = 0;
    int error = 0;
    AvahiServer *server =
        avahi_server_new(avahi_simple_poll_get(loop->poll), &config, ServerState, nullptr, &error);
    avahi_server_config_free(&config);
    if (!server) {
        DebugLog(2, "Embedded DNS-SD responder could not start: %s\n", avahi_strerror(error));
        OvAvahiLoopFree(loop);
        pthread_mutex_unlock(&responder.mutex);
        return 0;
    }
    if (!OvAvahiLoopStart(loop)) {
        DebugLog(2, "mDNSd thread could not be created\n");
        avahi_server_free(server);
        OvAvahiLoopFree(loop);
        pthread_mutex_unlock(&responder.mutex);
        return 0;
    }
    (void)EventWait(loop->started, -1);
    responder.loop = loop;
    responder.server = server;
    responder.starts++;
    pthread_mutex_unlock(&responder.mutex);
    return 1;
}

void ServerBrowseReply(AvahiSServiceBrowser *, AvahiIfIndex interface, AvahiProtocol protocol,
                       AvahiBrowserEvent event, const char *name, const char *type, const char *,
                       AvahiLookupResultFlags, void *userdata) {
    BrowseReply(interface, protocol, event, name, type, userdata);
}

void ServerResolveReply(AvahiSServiceResolver *, AvahiIfIndex, AvahiProtocol,
                        AvahiResolverEvent event, const char *, const char *, const char *,
                        const char *host, const AvahiAddress *, uint16_t port, AvahiStringList *txt,
                        AvahiLookupResultFlags, void *userdata) {
    int error = event == AVAHI_RESOLVER_FOUND ? 0 : AVAHI_ERR_TIMEOUT;
    ReplyWithTxt(userdata, error, host, port, txt);
}

void ServerLookupReply(AvahiSServiceResolver *, AvahiIfIndex, AvahiProtocol,
                       AvahiResolverEvent event, const char *, const char *, const char *,
                       const char *, const AvahiAddress *, uint16_t port, AvahiStringList *txt,
                       AvahiLookupResultFlags, void *userdata) {
    LookupReply(userdata, event == AVAHI_RESOLVER_FOUND, port, txt);
}

void ServerAddressReply(AvahiSHostNameResolver *, AvahiIfIndex, AvahiProtocol,
                        AvahiResolverEvent event, const char *, const AvahiAddress *address,
                        AvahiLookupResultFlags, void *userdata) {
    ReplyWithAddress(userdata, event == AVAHI_RESOLVER_FOUND ? 0 : AVAHI_ERR_TIMEOUT, address);
}

struct ServerApi {
    static constexpr auto Errno = avahi_server_errno;
    static constexpr auto BrowserNew = avahi_s_service_browser_new;
    static constexpr auto ServiceResolverNew = avahi_s_service_resolver_new;
    static constexpr auto HostResolverNew = avahi_s_host_name_resolver_new;
    static constexpr auto BrowserFree = avahi_s_service_browser_free;
    static constexpr auto ServiceResolverFree = avahi_s_service_resolver_free;
    static constexpr auto HostResolverFree = avahi_s_host_name_resolver_free;
    static constexpr auto BrowseReply = ServerBrowseReply;
    static constexpr auto ResolveReply = ServerResolveReply;
    static constexpr auto LookupReply = ServerLookupReply;
    static constexpr auto AddressReply = ServerAddressReply;
};

void ServerClose(DiscoverySession *session) {
    // The responder keeps serving; only this session's browses end.
    OvAvahiLoopLock(session->loop);
    EndLookups(session);
    ApiFreeQuery<ServerApi>(kQueryBrowse, session->airplayBrowser);
    ApiFreeQuery<ServerApi>(kQueryBrowse, session->raopBrowser);
    OvAvahiLoopUnlock(session->loop);
}

const DiscoveryBackendOps kServerOps = {
    "embedded responder",      ApiBrowse<ServerApi>,    ApiResolveService<ServerApi>,
    ApiResolveHost<ServerApi>, ApiFreeQuery<ServerApi>, ServerClose,
    ApiLookup<ServerApi>,
};

// Both browses of a session; 0 or the first error.
int BrowseBoth(DiscoverySession *session) {
    int error = session->ops->browse(session, "_airplay._tcp", &session->airplayBrowser);
    if (error) return error;
    return session->ops->browse(session, "_raop._tcp", &session->raopBrowser);
}

DiscoverySession *OpenClientSession(DiscoverySession *session, int *error) {
    OvAvahiLoop *loop = OvAvahiLoopNew("DiscoveryClient");
    if (!loop) {
        *error = AVAHI_ERR_NO_MEMORY;
        return nullptr;
    }
    // Without AVAHI_CLIENT_NO_FAIL the call fails at once when no daemon is running.
    AvahiClient *client = avahi_client_new(avahi_simple_poll_get(loop->poll), (AvahiClientFlags)0,
                                           ClientState, session, error);
    if (!client) {
        OvAvahiLoopFree(loop);
        return nullptr;
    }
    session->ops = &kClientOps;
    session->loop = loop;
    session->handle = client;
    *error = BrowseBoth(session);
    if (*error == 0 && !OvAvahiLoopStart(loop)) *error = AVAHI_ERR_FAILURE;
    if (*error) {
        ClientClose(session);
        session->loop = nullptr;
        session->handle = nullptr;
        return nullptr;
    }
    return session;
}

} // namespace

DiscoverySession *OvAvahiSessionOpen(uint64_t generation) {
    DiscoverySession *session = new (std::nothrow) DiscoverySession{};
    if (!session) return nullptr;
    session->generation = generation;
    int error = 0;
    if (OpenClientSession(session, &error)) return session;
    // No daemon (or none that lets us browse): browse through the embedded responder.
    DebugLog(2, "DNS-SD daemon not available (%s); using the embedded responder\n",
             avahi_strerror(error));
    session->airplayBrowser = session->raopBrowser = nullptr;
    if (!EmbeddedResponderStart()) {
        delete session;
        return nullptr;
    }
    session->ops = &kServerOps;
    session->loop = responder.loop;
    session->handle = responder.server;
    OvAvahiLoopLock(session->loop);
    error = BrowseBoth(session);
    OvAvahiLoopUnlock(session->loop);
    if (error) {
        DebugLog(2, "Browsing through the embedded responder failed: %s\n", avahi_strerror(error));
        ServerClose(session);
        delete session;
        return nullptr;
    }
    return session;
}

void OvAvahiSessionClose(DiscoverySession *session) {
    if (!session) return;
    session->ops->close(session);
    delete session;
}

int OvEmbeddedResponderStarts() {
    pthread_mutex_lock(&responder.mutex);
    int starts = responder.starts;
    pthread_mutex_unlock(&responder.mutex);
    return starts;
}
