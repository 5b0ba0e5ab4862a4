#include "tools/receiver/rx_announce.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-core/core.h>
#include <avahi-core/log.h>
#include <avahi-core/publish.h>
#include <cstdio>
#include <cstring>

#include "tools/receiver/rx_log.h"

struct Announcer {
    AnnounceConfig config;
    std::string name; // current display name (changes on a collision)
    AvahiThreadedPoll *poll;
    AvahiClient *client;
    AvahiEntryGroup *group;
    AvahiServer *server; // the embedded stack, when no daemon runs
    AvahiSEntryGroup *serverGroup;
};

namespace {

const char kFeatures[] = "0x5A7FFFF7,0x1E";
const char kModel[] = "OstrelReceiver1,1";

uint64_t Fnv1a(const std::string &text) {
    uint64_t hash = 1469598103934665603ULL;
    for (unsigned char c : text)
        hash = (hash ^ c) * 1099511628211ULL;
    return hash;
}

AvahiStringList *AirPlayTxt(const Announcer *a) {
    AvahiStringList *txt = nullptr;
    txt = avahi_string_list_add_pair(txt, "deviceid", AnnounceDeviceId(a->config).c_str());
    txt = avahi_string_list_add_pair(txt, "features", kFeatures);
    txt = avahi_string_list_add_pair(txt, "model", kModel);
    txt = avahi_string_list_add_pair(txt, "srcvers", a->config.version.c_str());
    txt = avahi_string_list_add_pair(txt, "pw", a->config.password ? "true" : "false");
    return txt;
}

AvahiStringList *RaopTxt(const Announcer *a) {
    static const char *const kPairs[][2] = {
        {"txtvers", "1"}, {"ch", "2"},     {"cn", "0,1,2,3"}, {"et", "0,3,5"},
        {"md", "0,1,2"},  {"sr", "44100"}, {"ss", "16"},      {"tp", "UDP"},
        {"da", "true"},   {"sv", "false"}, {"vn", "65537"},   {"sf", "0x4"},
    };
    AvahiStringList *txt = nullptr;
    for (const auto &pair : kPairs) // "cn": the formats this run was told to offer
        txt = avahi_string_list_add_pair(
            txt, pair[0], strcmp(pair[0], "cn") == 0 ? a->config.codecs.c_str() : pair[1]);
    txt = avahi_string_list_add_pair(txt, "am", kModel);
    txt = avahi_string_list_add_pair(txt, "ft", kFeatures);
    txt = avahi_string_list_add_pair(txt, "vs", a->config.version.c_str());
    txt = avahi_string_list_add_pair(txt, "pw", a->config.password ? "true" : "false");
    return txt;
}

typedef int (*AddServiceFn)(Announcer *a, const char *name, const char *type, uint16_t port,
                            AvahiStringList *txt);

int AddToClientGroup(Announcer *a, const char *name, const char *type, uint16_t port,
                     AvahiStringList *txt) {
    return avahi_entry_group_add_service_strlst(a->group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                                (AvahiPublishFlags)0, name, type, nullptr, nullptr,
                                                port, txt);
}

int AddToServerGroup(Announcer *a, const char *name, const char *type, uint16_t port,
                     AvahiStringList *txt) {
    return avahi_server_add_service_strlst(a->server, a->serverGroup, AVAHI_IF_UNSPEC,
                                           AVAHI_PROTO_INET, (AvahiPublishFlags)0, name, type,
                                           nullptr, nullptr, port, txt);
}

// Adds both services; 0 or an Avahi error.
int AddServices(Announcer *a, AddServiceFn add) {
    AvahiStringList *airplay = AirPlayTxt(a);
    AvahiStringList *raop = RaopTxt(a);
    std::string raopName = AnnounceRaopName(a->config, a->name);
    int error = 0;
    if (!a->config.soundOnly)
        error = add(a, a->name.c_str(), "_airplay._tcp", (uint16_t)a->config.airplayPort, airplay);
    if (!error) error = add(a, raopName.c_str(), "_raop._tcp", (uint16_t)a->config.audioPort, raop);
    avahi_string_list_free(airplay);
    avahi_string_list_free(raop);
    return error;
}

void TakeAlternativeName(Announcer *a) {
    char *next = avahi_alternative_service_name(a->name.c_str());
    RxLog("Announce: the name \"%s\" is taken; using \"%s\"", a->name.c_str(), next);
    a->name = next;
    avahi_free(next);
}

void AnnouncedLine(Announcer *a) {
    if (a->config.soundOnly) {
        RxLog("Announced \"%s\" (_raop._tcp port %d) alone, as a speaker",
              AnnounceRaopName(a->config, a->name).c_str(), a->config.audioPort);
        return;
    }
    RxLog("Announced \"%s\" (_airplay._tcp port %d) and \"%s\" (_raop._tcp port %d)",
          a->name.c_str(), a->config.airplayPort, AnnounceRaopName(a->config, a->name).c_str(),
          a->config.audioPort);
}

// ---- through avahi-daemon ----

void PublishWithClient(Announcer *a);

void ClientGroupState(AvahiEntryGroup *, AvahiEntryGroupState state, void *userdata) {
    Announcer *a = (Announcer *)userdata;
    if (state == AVAHI_ENTRY_GROUP_ESTABLISHED) AnnouncedLine(a);
    if (state == AVAHI_ENTRY_GROUP_COLLISION) {
        TakeAlternativeName(a);
        avahi_entry_group_reset(a->group);
        PublishWithClient(a);
    }
    if (state == AVAHI_ENTRY_GROUP_FAILURE)
        RxLog("Announce failed: %s", avahi_strerror(avahi_client_errno(a->client)));
}

void PublishWithClient(Announcer *a) {
    if (!a->group) a->group = avahi_entry_group_new(a->client, ClientGroupState, a);
    if (!a->group) {
        RxLog("Announce failed: %s", avahi_strerror(avahi_client_errno(a->client)));
        return;
    }
    if (!avahi_entry_group_is_empty(a->group)) return;
    int error = AddServices(a, AddToClientGroup);
    if (error == AVAHI_ERR_COLLISION) {
        TakeAlternativeName(a);
        avahi_entry_group_reset(a->group);
        PublishWithClient(a);
        return;
    }
    if (!error) error = avahi_entry_group_commit(a->group);
    if (error) RxLog("Announce failed: %s", avahi_strerror(error));
}

void ClientState(AvahiClient *client, AvahiClientState state, void *userdata) {
    Announcer *a = (Announcer *)userdata;
    a->client = client; // the callback may run before avahi_client_new returns
    if (state == AVAHI_CLIENT_S_RUNNING) PublishWithClient(a);
    if ((state == AVAHI_CLIENT_S_COLLISION || state == AVAHI_CLIENT_S_REGISTERING) && a->group)
        avahi_entry_group_reset(a->group);
    if (state == AVAHI_CLIENT_FAILURE)
        RxLog("Announce: avahi-daemon connection failed: %s",
              avahi_strerror(avahi_client_errno(client)));
}

// ---- through the embedded stack ----

void PublishWithServer(Announcer *a);

void ServerGroupState(AvahiServer *, AvahiSEntryGroup *, AvahiEntryGroupState state,
                      void *userdata) {
    Announcer *a = (Announcer *)userdata;
    if (state == AVAHI_ENTRY_GROUP_ESTABLISHED) AnnouncedLine(a);
    if (state == AVAHI_ENTRY_GROUP_COLLISION) {
        TakeAlternativeName(a);
        avahi_s_entry_group_reset(a->serverGroup);
        PublishWithServer(a);
    }
}

void PublishWithServer(Announcer *a) {
    if (!a->serverGroup) a->serverGroup = avahi_s_entry_group_new(a->server, ServerGroupState, a);
    if (!a->serverGroup) return;
    if (!avahi_s_entry_group_is_empty(a->serverGroup)) return;
    int error = AddServices(a, AddToServerGroup);
    if (!error) error = avahi_s_entry_group_commit(a->serverGroup);
    if (error) RxLog("Announce failed: %s", avahi_strerror(error));
}

void ServerState(AvahiServer *server, AvahiServerState state, void *userdata) {
    Announcer *a = (Announcer *)userdata;
    a->server = server;
    if (state == AVAHI_SERVER_RUNNING) PublishWithServer(a);
    if (state == AVAHI_SERVER_COLLISION) {
        char *next = avahi_alternative_host_name(avahi_server_get_host_name(server));
        if (a->serverGroup) avahi_s_entry_group_reset(a->serverGroup);
        avahi_server_set_host_name(server, next);
        avahi_free(next);
    }
}

void StackLog(AvahiLogLevel level, const char *text) {
    if (level <= AVAHI_LOG_WARN) RxLog("mDNS: %s", text);
}

} // namespace

std::string AnnounceDeviceId(const AnnounceConfig &config) {
    if (!config.deviceId.empty()) return config.deviceId;
    // A stable, locally administered address per name.
    uint64_t hash = Fnv1a(config.name);
    unsigned char b[6];
    for (int i = 0; i < 6; i++)
        b[i] = (unsigned char)(hash >> (8 * i));
    b[0] = (unsigned char)((b[0] | 0x02) & 0xFE);
    char text[18];
    snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2], b[3], b[4],
             b[5]);
    return text;
}

std::string AnnounceRaopName(const AnnounceConfig &config, const std::string &name) {
    std::string hex;
    for (char c : AnnounceDeviceId(config))
        if (c != ':') hex += c;
    std::string full = hex + "@" + name;
    // A DNS label holds 63 bytes: cut at a character boundary.
    if (full.size() > 63) {
        size_t cut = 63;
        while (cut > 0 && ((unsigned char)full[cut] & 0xC0) == 0x80)
            cut--;
        full.resize(cut);
    }
    return full;
}

Announcer *AnnounceStart(const AnnounceConfig &config) {
    Announcer *a = new Announcer{config, config.name, nullptr, nullptr, nullptr, nullptr, nullptr};
    a->poll = avahi_threaded_poll_new();
    if (!a->poll) {
        delete a;
        return nullptr;
    }
    int error = 0;
    AvahiClient *client = avahi_client_new(avahi_threaded_poll_get(a->poll), (AvahiClientFlags)0,
                                           ClientState, a, &error);
    if (client) {
        a->client = client;
    } else {
        // The state callback saw the client before it failed and was freed.
        a->client = nullptr;
        a->group = nullptr;
        RxLog("Announce: no avahi-daemon (%s); starting an mDNS stack of our own",
              avahi_strerror(error));
        avahi_set_log_function(StackLog);
        AvahiServerConfig server;
        avahi_server_config_init(&server);
        server.use_ipv6 = 0;
        server.publish_hinfo = 0;
        server.publish_workstation = 0;
        server.enable_wide_area = 0;
        a->server =
            avahi_server_new(avahi_threaded_poll_get(a->poll), &server, ServerState, a, &error);
        avahi_server_config_free(&server);
        if (!a->server) {
            RxLog("Announce: the mDNS stack could not start: %s", avahi_strerror(error));
            avahi_threaded_poll_free(a->poll);
            delete a;
            return nullptr;
        }
    }
    if (avahi_threaded_poll_start(a->poll) < 0) {
        RxLog("Announce: no thread for the mDNS loop");
        AnnounceStop(a);
        return nullptr;
    }
    return a;
}

void AnnounceStop(Announcer *a) {
    if (!a) return;
    if (a->server) {
        // libavahi-core frees entry groups through a function whose name libavahi-client also
        // exports, and the dynamic linker binds it to the client library's: freeing the
        // embedded server (or a group of it) would crash. Withdraw the services and leave the
        // rest to the end of the process.
        avahi_threaded_poll_lock(a->poll);
        if (a->serverGroup) avahi_s_entry_group_reset(a->serverGroup);
        avahi_threaded_poll_unlock(a->poll);
        avahi_threaded_poll_stop(a->poll);
        return;
    }
    avahi_threaded_poll_stop(a->poll);
    if (a->group) avahi_entry_group_free(a->group);
    if (a->client) avahi_client_free(a->client);
    avahi_threaded_poll_free(a->poll);
    delete a;
}
