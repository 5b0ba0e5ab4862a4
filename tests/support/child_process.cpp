#include "tests/support/child_process.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/file_text.h"
#include "tests/support/wait.h"

namespace {

void CloseBoth(int fds[2]) {
    for (int i = 0; i < 2; i++)
        if (fds[i] >= 0) close(fds[i]);
}

// In the forked child: only system calls from here on.
void OpenOnto(const char *path, int target) {
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0 && fd != target) dup2(fd, target);
}

} // namespace

pid_t SpawnChild(const std::vector<std::string> &argv, const ChildOutput &output) {
    if (argv.empty()) return -1;
    // Everything the child needs is prepared before fork: another thread may hold the
    // allocator's lock at that moment.
    std::vector<char *> args;
    for (const std::string &argument : argv)
        args.push_back(const_cast<char *>(argument.c_str()));
    args.push_back(nullptr);
    const char *outPath = output.out.empty() || output.outPipe ? nullptr : output.out.c_str();
    const char *errPath = output.err.empty() ? nullptr : output.err.c_str();
    bool shared = outPath && errPath && output.out == output.err;
    int outFds[2] = {-1, -1};
    if (output.outPipe && pipe2(outFds, O_CLOEXEC) != 0) return -1;
    // Carries errno of a failed exec; a successful exec closes it empty.
    int failFds[2] = {-1, -1};
    if (pipe2(failFds, O_CLOEXEC) != 0) {
        CloseBoth(outFds);
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (in >= 0 && in != STDIN_FILENO) dup2(in, STDIN_FILENO);
        if (output.outPipe) dup2(outFds[1], STDOUT_FILENO);
        if (outPath) OpenOnto(outPath, STDOUT_FILENO);
        if (shared)
            dup2(STDOUT_FILENO, STDERR_FILENO);
        else if (errPath)
            OpenOnto(errPath, STDERR_FILENO);
        execvp(args[0], args.data());
        int error = errno;
        ssize_t ignored = write(failFds[1], &error, sizeof error);
        (void)ignored;
        _exit(127);
    }
    close(failFds[1]);
    if (outFds[1] >= 0) close(outFds[1]);
    if (pid < 0) {
        close(failFds[0]);
        if (outFds[0] >= 0) close(outFds[0]);
        return -1;
    }
    int error = 0;
    ssize_t got;
    do {
        got = read(failFds[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(failFds[0]);
    if (got > 0) {
        waitpid(pid, nullptr, 0);
        if (outFds[0] >= 0) close(outFds[0]);
        return -1;
    }
    if (output.outPipe) {
        fcntl(outFds[0], F_SETFL, O_NONBLOCK);
        *output.outPipe = outFds[0];
    }
    return pid;
}

bool WaitChild(pid_t pid, int timeoutMs, int *waitStatus) {
    if (pid <= 0) return false;
    int status = -1;
    bool ended = WaitUntil(
        [&] {
            pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid) return true;
            // Not (or no longer) our child: it will not end later either.
            if (done < 0 && errno != EINTR) {
                status = -1;
                return true;
            }
            return false;
        },
        timeoutMs);
    if (ended) *waitStatus = status;
    return ended;
}

int EndChild(pid_t pid, int signal, int timeoutMs) {
    if (pid <= 0) return -1;
    if (signal) kill(pid, signal);
    int status = -1;
    if (WaitChild(pid, timeoutMs, &status)) return status;
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

int ExitCode(int waitStatus) {
    return waitStatus != -1 && WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
}

Child StartChild(const std::vector<std::string> &argv) {
    Child child;
    char pattern[] = "/tmp/ostrel-child-XXXXXX";
    if (!mkdtemp(pattern)) return child;
    child.outPath = std::string(pattern) + "/out";
    child.errPath = std::string(pattern) + "/err";
    child.pid = SpawnChild(argv, {.out = child.outPath, .err = child.errPath});
    if (child.pid < 0) rmdir(pattern);
    return child;
}

ChildResult StopChild(Child &child, int signal, int timeoutMs) {
    ChildResult result;
    if (child.pid <= 0) return result;
    result.status = ExitCode(EndChild(child.pid, signal, timeoutMs));
    child.pid = -1;
    result.out = ReadFileText(child.outPath);
    result.err = ReadFileText(child.errPath);
    unlink(child.outPath.c_str());
    unlink(child.errPath.c_str());
    rmdir(child.outPath.substr(0, child.outPath.rfind('/')).c_str());
    return result;
}

ChildResult RunChild(const std::vector<std::string> &argv, int timeoutMs) {
    Child child = StartChild(argv);
    return StopChild(child, 0, timeoutMs);
}

std::string RunCommand(const std::string &shellCommand, int *exitCode) {
    std::string out;
    FILE *pipe = popen(shellCommand.c_str(), "re");
    if (!pipe) {
        if (exitCode) *exitCode = -1;
        return out;
    }
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, got);
    int status = pclose(pipe);
    if (exitCode) *exitCode = ExitCode(status);
    return out;
}
