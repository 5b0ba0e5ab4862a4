#include "shell/ov_sleep_watch.h"

#include <QtCore/QObject>
#include <QtDBus/QDBusConnection>

#include "base/log.h"

class SleepWatchReceiver : public QObject {
    Q_OBJECT
  public:
    std::function<void(bool)> onSleep;
  public slots:
    void prepareForSleep(bool suspending) {
        if (onSleep) onSleep(suspending);
    }
};

struct SleepWatch {
    SleepWatchReceiver receiver;
};

SleepWatch *SleepWatchStart(std::function<void(bool)> onSleep) {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        DebugLog(1, "No system bus: suspend and resume are not followed\n");
        return nullptr;
    }
    auto *w = new SleepWatch;
    w->receiver.onSleep = std::move(onSleep);
    if (!bus.connect(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"),
            &w->receiver, SLOT(prepareForSleep(bool)))) {
        DebugLog(1, "logind's PrepareForSleep signal cannot be followed\n");
    }
    return w;
}

void SleepWatchStop(SleepWatch *w) {
    delete w;
}

#include "ov_sleep_watch.moc"
