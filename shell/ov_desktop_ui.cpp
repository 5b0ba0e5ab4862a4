#include "shell/ov_desktop_ui.h"

#include <cstring>

#include <QtCore/QCoreApplication>
#include <QtCore/QMetaObject>
#include <QtCore/QThread>
#include <QtWidgets/QApplication>
#include <QtWidgets/QInputDialog>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMessageBox>

#include "base/log.h"
#include "shell/ov_display_sleep.h"

namespace {

DesktopUi *Ui(void *context) { return static_cast<DesktopUi *>(context); }

// Runs fn on the main thread and waits for it; directly when already there.
template <typename Fn> void OnMainThread(Fn fn) {
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(app, fn, Qt::BlockingQueuedConnection);
}

void Prevent(void *) { OvPreventDisplaySleep(); }
void Allow(void *) { OvAllowDisplaySleep(); }

int AskPassword(void *context, int retried, char *buffer, int size) {
    if (!Ui(context)->interactive) {
        DebugLog(2, "The receiver wants a password and no one can be asked for it\n");
        return 0;
    }
    int answered = 0;
    OnMainThread([&] {
        bool ok = false;
        QString label = retried ? QStringLiteral("The password was not accepted. Password:")
                                : QStringLiteral("Password:");
        QString text = QInputDialog::getText(nullptr, QStringLiteral("AirPlay Password"), label,
                                             QLineEdit::Password, QString(), &ok);
        if (ok) {
            QByteArray utf8 = text.toUtf8();
            int n = utf8.size() < size - 1 ? (int)utf8.size() : size - 1;
            memcpy(buffer, utf8.constData(), (size_t)n);
            buffer[n] = '\0';
            answered = 1;
        }
    });
    return answered;
}

void ShowDeviceInUse(void *context, const char *name) {
    if (!Ui(context)->interactive) return;
    OnMainThread([&] {
        QMessageBox::information(nullptr, QStringLiteral("Device Not Available"),
                                 QStringLiteral("\"%1\" is being used by someone else.")
                                     .arg(QString::fromUtf8(name)));
    });
}

void ConnectionEnded(void *context) {
    if (!Ui(context)->quitWhenConnectionEnds) return;
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
}

} // namespace

const ControllerUiOps kDesktopUiOps = {
    .preventDisplaySleep = Prevent,
    .allowDisplaySleep = Allow,
    .askPassword = AskPassword,
    .showDeviceInUse = ShowDeviceInUse,
    .connectionEnded = ConnectionEnded,
};
