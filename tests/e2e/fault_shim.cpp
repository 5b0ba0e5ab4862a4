// Preloaded into the program by faults_e2e.sh: makes one library call fail, chosen by name in
// OSTREL_TEST_FAULT, so that failure paths the real libraries never take on a test machine
// run end to end. Without the variable every call goes to the real library.
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

#include <QtWidgets/QTabWidget>
#include <avahi-common/error.h>
#include <avahi-core/core.h>

namespace {

bool Faulted(const char *name) {
    const char *chosen = getenv("OSTREL_TEST_FAULT");
    return chosen && !strcmp(chosen, name);
}

template <typename Fn> Fn Real(const char *symbol) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, symbol));
}

} // namespace

// "preferences-pages": the Preferences window's pages do not come into being.
int QTabWidget::count() const {
    if (Faulted("preferences-pages")) return 0;
    static auto real = Real<int (*)(const QTabWidget *)>("_ZNK10QTabWidget5countEv");
    return real ? real(this) : 0;
}

// "mdns-responder": the embedded mDNS responder cannot start (as without any usable socket).
extern "C" AvahiServer *avahi_server_new(const AvahiPoll *api, const AvahiServerConfig *config,
                                         AvahiServerCallback callback, void *userdata, int *error) {
    if (Faulted("mdns-responder")) {
        if (error) *error = AVAHI_ERR_NO_NETWORK;
        return nullptr;
    }
    static auto real =
        Real<AvahiServer *(*)(const AvahiPoll *, const AvahiServerConfig *, AvahiServerCallback,
                              void *, int *)>("avahi_server_new");
    if (!real) {
        if (error) *error = AVAHI_ERR_FAILURE;
        return nullptr;
    }
    return real(api, config, callback, userdata, error);
}
