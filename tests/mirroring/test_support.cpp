#include "test_support.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/clock.h"
#include "base/log.h"

std::string ReadFileText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WaitForFileText(const std::string &path, const std::string &needle, int timeoutMs) {
    int64_t end = MonotonicNanos() + (int64_t)timeoutMs * 1000000;
    while (ReadFileText(path).find(needle) == std::string::npos) {
        if (MonotonicNanos() > end) return false;
        SleepMillis(20);
    }
    return true;
}

Child StartChild(const std::vector<std::string> &argv) {
    Child child;
    char tmpl[] = "/tmp/ostrel-child-XXXXXX";
    const char *dir = mkdtemp(tmpl);
    if (!dir) return child;
    child.outPath = std::string(dir) + "/out";
    child.errPath = std::string(dir) + "/err";
    // Everything the child needs is prepared before fork: other threads may hold the
    // allocator's lock at that moment.
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    int pid = fork();
    if (pid == 0) {
        int out = open(child.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(child.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out >= 0) dup2(out, 1);
        if (err >= 0) dup2(err, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    child.pid = pid;
    return child;
}

ChildResult StopChild(Child &child, int signal, int timeoutMs) {
    ChildResult result;
    if (child.pid <= 0) return result;
    if (signal) kill(child.pid, signal);
    int64_t end = MonotonicNanos() + (int64_t)timeoutMs * 1000000;
    int status = 0;
    for (;;) {
        int r = waitpid(child.pid, &status, WNOHANG);
        if (r == child.pid) {
            result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (MonotonicNanos() > end) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            break;
        }
        SleepMillis(10);
    }
    child.pid = -1;
    result.out = ReadFileText(child.outPath);
    result.err = ReadFileText(child.errPath);
    std::string dir = child.outPath.substr(0, child.outPath.rfind('/'));
    unlink(child.outPath.c_str());
    unlink(child.errPath.c_str());
    rmdir(dir.c_str());
    return result;
}

ChildResult RunChild(const std::vector<std::string> &argv, int timeoutMs) {
    Child child = StartChild(argv);
    return StopChild(child, 0, timeoutMs);
}

std::vector<uint8_t> UdpExchange(uint16_t port, const std::vector<uint8_t> &request,
                                 int timeoutMs) {
    std::vector<uint8_t> reply;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return reply;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    if (sendto(fd, request.data(), request.size(), 0, (sockaddr *)&to, sizeof to) ==
        (ssize_t)request.size()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) == 1) {
            uint8_t buffer[2048];
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) reply.assign(buffer, buffer + n);
        }
    }
    close(fd);
    return reply;
}
