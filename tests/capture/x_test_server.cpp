#include "x_test_server.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

pid_t TestSpawnProgram(const TestXServer &server, const std::vector<std::string> &argv) {
    std::vector<std::string> all = {"env", "DISPLAY=" + server.name};
    all.insert(all.end(), argv.begin(), argv.end());
    return SpawnChild(all, {.out = "/dev/null", .err = "/dev/null"});
}

int TestRunProgram(const TestXServer &server, const std::vector<std::string> &argv, int timeoutMs) {
    pid_t pid = TestSpawnProgram(server, argv);
    return pid < 0 ? -1 : ExitCode(EndChild(pid, 0, timeoutMs));
}

bool TestXServerStart(TestXServer *server, int width, int height, bool withWindowManager) {
    *server = TestXServer{};
    // The write end stays open in the server only.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0 || fcntl(fds[1], F_SETFD, 0) != 0) return false;
    // -displayfd: the server takes a free display number and reports it once it listens.
    server->xvfb = SpawnChild({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                               std::to_string(width) + "x" + std::to_string(height) + "x24",
                               "-noreset", "-nolisten", "tcp"},
                              {.err = "/dev/null"});
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

    server->windowManager = TestSpawnProgram(*server, {"openbox", "--sm-disable"});
    Display *display = XOpenDisplay(server->name.c_str());
    if (!display || server->windowManager < 0) {
        if (display) XCloseDisplay(display);
        TestXServerStop(server);
        return false;
    }
    // Ready when the manager advertises itself and lists clients.
    Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
    Atom clients = XInternAtom(display, "_NET_CLIENT_LIST", False);
    bool ready = WaitUntil(
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
            ready = WaitUntil([&] { return TestWindowIsManaged(display, probe); }, 500);
        }
        XDestroyWindow(display, probe);
        XSync(display, False);
        WaitUntil([&] { return !TestWindowIsManaged(display, probe); }, 2000);
    }
    XCloseDisplay(display);
    if (!ready) {
        TestXServerStop(server);
        return false;
    }
    return true;
}

void TestXServerStop(TestXServer *server) {
    EndChild(server->windowManager, SIGTERM, 3000);
    server->windowManager = 0;
    EndChild(server->xvfb, SIGTERM, 3000);
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
    bool ok = WaitUntil(
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
