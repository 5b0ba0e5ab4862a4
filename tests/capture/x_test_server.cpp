#include "x_test_server.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char **environ;

void TestSleepMs(int ms) {
    struct timespec ts {
        ms / 1000, (ms % 1000) * 1000000L
    };
    nanosleep(&ts, nullptr);
}

namespace {

std::vector<std::string> EnvironmentWithDisplay(const std::string &display) {
    std::vector<std::string> env;
    for (char **e = environ; *e; e++)
        if (strncmp(*e, "DISPLAY=", 8) != 0) env.push_back(*e);
    env.push_back("DISPLAY=" + display);
    return env;
}

pid_t Spawn(const char *const *argv, const std::vector<std::string> &env,
            posix_spawn_file_actions_t *actions) {
    std::vector<char *> envp;
    for (const std::string &s : env)
        envp.push_back(const_cast<char *>(s.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], actions, nullptr, const_cast<char *const *>(argv),
                     envp.data()) != 0)
        return -1;
    return pid;
}

bool WaitExit(pid_t pid, int timeoutMs, int *status) {
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) return true;
        TestSleepMs(10);
    }
    return false;
}

} // namespace

void TestKillProgram(pid_t pid) {
    if (pid <= 0) return;
    int status = 0;
    kill(pid, SIGTERM);
    if (!WaitExit(pid, 3000, &status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
}

pid_t TestSpawnProgram(const TestXServer &server, const char *const *argv) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = Spawn(argv, EnvironmentWithDisplay(server.name), &actions);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int TestRunProgram(const TestXServer &server, const char *const *argv, int timeoutMs) {
    pid_t pid = TestSpawnProgram(server, argv);
    if (pid < 0) return -1;
    int status = 0;
    if (!WaitExit(pid, timeoutMs, &status)) {
        TestKillProgram(pid);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool TestXServerStart(TestXServer *server, int width, int height, bool withWindowManager) {
    *server = TestXServer{};
    int fds[2];
    if (pipe(fds) != 0) return false;
    char fdText[16], screen[64];
    snprintf(fdText, sizeof fdText, "%d", fds[1]);
    snprintf(screen, sizeof screen, "%dx%dx24", width, height);
    // -displayfd: the server takes a free display number and reports it once it listens.
    const char *argv[] = {"Xvfb", "-displayfd", fdText,      "-screen", "0",
                          screen, "-noreset",   "-nolisten", "tcp",     nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> env;
    for (char **e = environ; *e; e++)
        env.push_back(*e);
    server->xvfb = Spawn(argv, env, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (server->xvfb < 0) {
        close(fds[0]);
        return false;
    }
    char buffer[32] = {};
    size_t got = 0;
    struct pollfd p {
        fds[0], POLLIN, 0
    };
    for (int waited = 0; waited < 10000 && got < sizeof buffer - 1;) {
        int r = poll(&p, 1, 100);
        waited += 100;
        if (r <= 0) continue;
        ssize_t n = read(fds[0], buffer + got, sizeof buffer - 1 - got);
        if (n <= 0) break;
        got += (size_t)n;
        if (memchr(buffer, '\n', got)) break;
    }
    close(fds[0]);
    if (!memchr(buffer, '\n', got)) {
        TestXServerStop(server);
        return false;
    }
    server->displayNumber = atoi(buffer);
    server->name = ":" + std::to_string(server->displayNumber);
    if (!withWindowManager) return true;

    const char *wm[] = {"openbox", "--sm-disable", nullptr};
    server->windowManager = TestSpawnProgram(*server, wm);
    Display *display = XOpenDisplay(server->name.c_str());
    if (!display || server->windowManager < 0) {
        if (display) XCloseDisplay(display);
        TestXServerStop(server);
        return false;
    }
    // Ready when the manager advertises itself and lists clients.
    Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
    Atom clients = XInternAtom(display, "_NET_CLIENT_LIST", False);
    bool ready = TestWaitFor(
        [&] {
            Atom supported = XInternAtom(display, "_NET_SUPPORTED", False);
            Atom type;
            int format;
            unsigned long n = 0, after = 0;
            unsigned char *data = nullptr;
            bool have =
                XGetWindowProperty(display, DefaultRootWindow(display), check, 0, 1, False,
                                   XA_WINDOW, &type, &format, &n, &after, &data) == Success &&
                n == 1;
            if (data) XFree(data);
            data = nullptr;
            bool haveList =
                XGetWindowProperty(display, DefaultRootWindow(display), supported, 0, 1024, False,
                                   XA_ATOM, &type, &format, &n, &after, &data) == Success &&
                n > 0;
            bool listsClients = false;
            for (unsigned long i = 0; haveList && i < n; i++)
                if (((Atom *)data)[i] == clients) listsClients = true;
            if (data) XFree(data);
            return have && listsClients;
        },
        10000);
    // The manager advertises itself before it handles map requests: map a probe window
    // (again) until it is managed.
    if (ready) {
        Window probe =
            XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
        ready = false;
        for (int attempt = 0; attempt < 20 && !ready; attempt++) {
            XUnmapWindow(display, probe);
            XMapWindow(display, probe);
            XSync(display, False);
            ready = TestWaitFor([&] { return TestWindowIsManaged(display, probe); }, 500);
        }
        XDestroyWindow(display, probe);
        XSync(display, False);
        TestWaitFor([&] { return !TestWindowIsManaged(display, probe); }, 2000);
    }
    XCloseDisplay(display);
    if (!ready) {
        TestXServerStop(server);
        return false;
    }
    return true;
}

void TestXServerStop(TestXServer *server) {
    TestKillProgram(server->windowManager);
    server->windowManager = 0;
    TestKillProgram(server->xvfb);
    server->xvfb = 0;
}

bool TestWindowIsManaged(Display *display, Window window) {
    Atom clients = XInternAtom(display, "_NET_CLIENT_LIST", False);
    Atom type;
    int format;
    unsigned long n = 0, after = 0;
    unsigned char *data = nullptr;
    bool found = false;
    if (XGetWindowProperty(display, DefaultRootWindow(display), clients, 0, 4096, False, XA_WINDOW,
                           &type, &format, &n, &after, &data) == Success &&
        data) {
        for (unsigned long i = 0; i < n; i++)
            if (((unsigned long *)data)[i] == window) found = true;
    }
    if (data) XFree(data);
    return found;
}

bool TestWindowRootPosition(Display *display, Window window, int *x, int *y) {
    Window child;
    return XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, x, y, &child);
}

bool TestWindowCreate(Display *display, TestWindow *w, int x, int y, int width, int height,
                      unsigned long background, const char *title, const char *windowClass) {
    w->display = display;
    XSetWindowAttributes attributes{};
    attributes.background_pixel = background;
    attributes.event_mask = StructureNotifyMask;
    w->window =
        XCreateWindow(display, DefaultRootWindow(display), x, y, width, height, 0, CopyFromParent,
                      InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &attributes);
    XSizeHints *hints = XAllocSizeHints();
    hints->flags = USPosition | USSize;
    hints->x = x;
    hints->y = y;
    hints->width = width;
    hints->height = height;
    XSetWMNormalHints(display, w->window, hints);
    XFree(hints);
    XStoreName(display, w->window, title);
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    XChangeProperty(display, w->window, XInternAtom(display, "_NET_WM_NAME", False), utf8, 8,
                    PropModeReplace, (const unsigned char *)title, (int)strlen(title));
    if (windowClass) {
        XClassHint *klass = XAllocClassHint();
        klass->res_name = const_cast<char *>("testclient");
        klass->res_class = const_cast<char *>(windowClass);
        XSetClassHint(display, w->window, klass);
        XFree(klass);
    }
    unsigned long pid = (unsigned long)getpid();
    XChangeProperty(display, w->window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32,
                    PropModeReplace, (const unsigned char *)&pid, 1);
    XMapWindow(display, w->window);
    XSync(display, False);
    bool ok = TestWaitFor(
        [&] {
            XWindowAttributes a;
            return XGetWindowAttributes(display, w->window, &a) && a.map_state == IsViewable &&
                   TestWindowIsManaged(display, w->window);
        },
        5000);
    if (!ok) {
        XWindowAttributes a{};
        XGetWindowAttributes(display, w->window, &a);
        fprintf(stderr, "window 0x%lx map_state %d managed %d\n", w->window, a.map_state,
                (int)TestWindowIsManaged(display, w->window));
    }
    return ok;
}

void TestWindowFill(TestWindow *w, int x, int y, int width, int height, unsigned long colour) {
    GC gc = XCreateGC(w->display, w->window, 0, nullptr);
    XSetForeground(w->display, gc, colour);
    XFillRectangle(w->display, w->window, gc, x, y, width, height);
    XFreeGC(w->display, gc);
    XSync(w->display, False);
}
