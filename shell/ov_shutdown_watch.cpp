#include "shell/ov_shutdown_watch.h"

#include <QtCore/QObject>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusPendingCallWatcher>
#include <QtDBus/QDBusPendingReply>
#include <QtDBus/QDBusUnixFileDescriptor>

#include "base/log.h"

namespace {

const char kService[] = "org.freedesktop.login1";
const char kPath[] = "/org/freedesktop/login1";
const char kManager[] = "org.freedesktop.login1.Manager";

} // namespace

class ShutdownWatchReceiver : public QObject {
    Q_OBJECT
  public:
    void (*onShutdown)(void *) = nullptr;
    void *context = nullptr;
    QDBusUnixFileDescriptor lock;
    bool asking = false;

    void takeLock() {
        if (lock.isValid() || asking) return;
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
            DebugLog(1, "The system bus passes no file descriptors: no shutdown delay lock\n");
            return;
        }
        QDBusMessage call = QDBusMessage::createMethodCall(
            QString::fromLatin1(kService), QString::fromLatin1(kPath),
            QString::fromLatin1(kManager), QStringLiteral("Inhibit"));
        call << QStringLiteral("shutdown") << QStringLiteral("Ostrel")
             << QStringLiteral("Ending the mirroring connection") << QStringLiteral("delay");
        // Asked without waiting: a slow or missing logind must not hold up the start.
        asking = true;
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 10000), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this](QDBusPendingCallWatcher *w) {
                    asking = false;
                    QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
                    w->deleteLater();
                    if (reply.isError()) {
                        DebugLog(1, "No shutdown delay lock: %s\n",
                                 reply.error().message().toUtf8().constData());
                        return;
                    }
                    lock = reply.value();
                    DebugLog(1, "Holding a shutdown delay lock\n");
                });
    }

  public slots:
    void prepareForShutdown(bool starting) {
        if (!starting) {
            // Called off (a scheduled shutdown cancelled): be ready for the next one.
            DebugLog(2, "The system is no longer shutting down\n");
            takeLock();
            return;
        }
        DebugLog(2, "The system is shutting down; ending the connection\n");
        if (onShutdown) onShutdown(context);
        // Closing our copy of the descriptor is what lets logind go on.
        lock = QDBusUnixFileDescriptor();
    }
};

struct ShutdownWatch {
    ShutdownWatchReceiver receiver;
};

ShutdownWatch *ShutdownWatchStart(void (*onShutdown)(void *), void *context) {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        DebugLog(1, "No system bus: the system's shutdown is not followed\n");
        return nullptr;
    }
    auto *w = new ShutdownWatch;
    w->receiver.onShutdown = onShutdown;
    w->receiver.context = context;
    if (!bus.connect(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                     QString::fromLatin1(kManager), QStringLiteral("PrepareForShutdown"),
                     &w->receiver, SLOT(prepareForShutdown(bool)))) {
        DebugLog(1, "logind's PrepareForShutdown signal cannot be followed\n");
        delete w;
        return nullptr;
    }
    w->receiver.takeLock();
    return w;
}

void ShutdownWatchStop(ShutdownWatch *w) {
    delete w;
}

#include "ov_shutdown_watch.moc"
