#include "shell/ov_desktop_ui.h"


#include <QtCore/QCoreApplication>
#include <QtCore/QMetaObject>
#include <QtWidgets/QApplication>
#include <QtWidgets/QInputDialog>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMessageBox>

#include "base/log.h"
#include "shell/ov_display_sleep.h"

namespace {

DesktopUi *Ui(void *context) { return static_cast<DesktopUi *>(context); }

void Prevent(void *) { OvPreventDisplaySleep(); }
void Allow(void *) { OvAllowDisplaySleep(); }

int AskPassword(void *context, MirroringConnection *connection, int retried) {
    QCoreApplication *app = QCoreApplication::instance();
    if (!Ui(context)->interactive || !app) {
        DebugLog(2, "The receiver wants a password and no one can be asked for it\n");
        return 0;
    }
    // Queued, not blocking: the socket thread asking may be joined by a stop that the
    // main thread is running.
    QMetaObject::invokeMethod(
        app,
        [connection, retried] {
            bool ok = false;
            QString label = retried ? QStringLiteral("The password was not accepted. Password:")
                                    : QStringLiteral("Password:");
            QString text = QInputDialog::getText(nullptr, QStringLiteral("AirPlay Password"),
                                                 label, QLineEdit::Password, QString(), &ok);
            QByteArray utf8 = text.left(1023).toUtf8();
            PasswordAnswered(connection, ok ? utf8.constData() : nullptr);
        },
        Qt::QueuedConnection);
    return 1;
}

void ShowDeviceInUse(void *context, const char *name) {
    QCoreApplication *app = QCoreApplication::instance();
    if (!Ui(context)->interactive || !app) return;
    QString text = QStringLiteral("\"%1\" is being used by someone else.").arg(QString::fromUtf8(name));
    QMetaObject::invokeMethod(
        app,
        [text] { QMessageBox::information(nullptr, QStringLiteral("Device Not Available"), text); },
        Qt::QueuedConnection);
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
