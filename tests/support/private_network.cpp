#include "tests/support/private_network.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/child_process.h"

namespace {

bool LoopbackUp() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq req{};
    snprintf(req.ifr_name, sizeof req.ifr_name, "lo");
    bool ok = ioctl(fd, SIOCGIFFLAGS, &req) == 0;
    req.ifr_flags |= IFF_UP;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &req) == 0;
    close(fd);
    return ok;
}

} // namespace

bool EnterPrivateNetwork() {
    return unshare(CLONE_NEWNET) == 0 && LoopbackUp();
}

PrivateNetwork::PrivateNetwork() {
    saved_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (saved_ < 0) {
        reason_ = "cannot open this thread's network namespace";
        return;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        reason_ = std::string("unshare(CLONE_NEWNET) failed: ") + strerror(errno) +
                  " (needs root or CAP_SYS_ADMIN)";
        return;
    }
    entered_ = true;
    if (!LoopbackUp()) reason_ = "cannot bring loopback up";
}

PrivateNetwork::~PrivateNetwork() {
    // A thread left in the wrong namespace would mislead every later test in this process.
    if (entered_ && setns(saved_, CLONE_NEWNET) != 0) abort();
    if (saved_ >= 0) close(saved_);
}

bool PrivateNetwork::AddAddress(const std::string &cidr) {
    int code = -1;
    RunCommand("ip addr add " + cidr + " dev lo 2>&1", &code);
    return code == 0;
}
