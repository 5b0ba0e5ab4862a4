#include "shell/ov_display_sleep.h"

#include <mutex>

#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusInterface>
#include <QtDBus/QDBusReply>
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

#include "base/log.h"

namespace {

std::mutex lock;
bool held = false;
uint32_t cookie = 0;      // from the D-Bus service, 0 when it was not used
Display *suspended = nullptr; // the X connection that holds the suspension

bool InhibitOverDbus() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    QDBusInterface saver("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                         "org.freedesktop.ScreenSaver", bus);
    if (!saver.isValid()) return false;
    QDBusReply<uint> reply = saver.call("Inhibit", "Ostrel", "Mirroring the screen");
    if (!reply.isValid()) return false;
    cookie = reply.value();
    return true;
}

bool SuspendXScreenSaver() {
    Display *display = XOpenDisplay(nullptr);
    if (!display) return false;
    int event, error;
    if (!XScreenSaverQueryExtension(display, &event, &error)) {
        XCloseDisplay(display);
        return false;
    }
    XScreenSaverSuspend(display, True);
    XFlush(display);
    suspended = display; // the suspension lasts as long as this connection
    return true;
}

} // namespace

int OvPreventDisplaySleep() {
    std::lock_guard<std::mutex> guard(lock);
    if (held) return 1;
    held = InhibitOverDbus() || SuspendXScreenSaver();
    return held ? 1 : 0;
}

void OvAllowDisplaySleep() {
    std::lock_guard<std::mutex> guard(lock);
    if (!held) return;
    if (cookie) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        QDBusInterface saver("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                             "org.freedesktop.ScreenSaver", bus);
        if (saver.isValid()) saver.call("UnInhibit", cookie);
        cookie = 0;
    }
    if (suspended) {
        XScreenSaverSuspend(suspended, False);
        XCloseDisplay(suspended);
        suspended = nullptr;
    }
    held = false;
}
