// The Qt desktop layer's windows as a user meets them, on Qt's offscreen platform: the
// password window closed every way a window can be, and texts holding non-ASCII names.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <QtGui/QKeyEvent>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QWidget>

#include "base/log.h"
#include "mirroring/mirroring_connection.h"
#include "plist/cfvalue.h"
#include "shell/controller.h"
#include "shell/ov_desktop_ui.h"
#include "shell/settings.h"

namespace {

int stops = 0;

void FakeStop(MirroringConnection *c) {
    stops++;
    c->stopState = 2;
}
void FakeFree(MirroringConnection *c) {
    delete c;
}
void FakeSetPassword(MirroringConnection *, const char *) {}
const ControllerConnectionOps kFakeConnections = {nullptr, FakeStop, FakeFree, FakeSetPassword};

QWidget *TopLevel(const QString &title) {
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->windowTitle() == title) return w;
    return nullptr;
}

QString LabelText(QWidget *window) {
    QString all;
    for (QLabel *l : window->findChildren<QLabel *>())
        all += l->text() + "\n";
    return all;
}

class DesktopUiTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // Suspend and resume are not followed: no system bus to reach.
        setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/ostrel-test-bus", 1);
        static int argc = 1;
        static char name[] = "desktop_ui_test";
        static char *argv[] = {name, nullptr};
        if (!QApplication::instance()) new QApplication(argc, argv);
    }
    void SetUp() override {
        char tmpl[] = "/tmp/ostrel-desktop-ui-XXXXXX";
        root = mkdtemp(tmpl);
        setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
        LogOutputMode = 7;
        SettingsOpen();
        stops = 0;
        ui = DesktopUiCreate(&c, DesktopUiOptions{true, false, false});
        ASSERT_TRUE(ui);
        ControllerInit(&c, nullptr, nullptr, nullptr, &kDesktopPlatformOps, ui, &kFakeConnections);
        ASSERT_TRUE(DesktopUiShowTray(ui));
    }
    void TearDown() override {
        ControllerShutdown(&c);
        DesktopUiDestroy(ui);
        QCoreApplication::processEvents();
        LogOutputMode = 1;
        std::string cmd = "rm -rf '" + root + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
    }
    // A connection waiting for its password, and the window asking for it.
    QWidget *AskForPassword() {
        c.current = new MirroringConnection;
        OpenPasswordWindow(&c);
        QCoreApplication::processEvents();
        QWidget *window = TopLevel(QStringLiteral("Password"));
        EXPECT_TRUE(window && window->isVisible()) << "no password window";
        EXPECT_EQ(1, c.passwordWindowOpen.load());
        return window;
    }
    void ExpectCancelled(const char *how) {
        QCoreApplication::processEvents();
        EXPECT_EQ(0, c.passwordWindowOpen.load()) << how << ": the window counts as open";
        EXPECT_EQ(1, c.current->userCancelled.load()) << how << ": the connection was not told";
        EXPECT_EQ(1, stops) << how << ": the connection was not stopped";
        EXPECT_FALSE(TopLevel(QStringLiteral("Password"))->isVisible());
    }
    std::string root;
    Controller c;
    DesktopUi *ui = nullptr;
};

// Esc and the title bar's close button answer like Cancel: otherwise the connection waits
// for an answer that never comes and the window is never offered again.
TEST_F(DesktopUiTest, PasswordWindowClosedWithEscOrTheTitleBarCancels) {
    QWidget *window = AskForPassword();
    ASSERT_TRUE(window);
    QWidget *focus = window->focusWidget() ? window->focusWidget() : window;
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(focus, &press);
    ExpectCancelled("Esc");

    ControllerShutdown(&c);
    ControllerInit(&c, nullptr, nullptr, nullptr, &kDesktopPlatformOps, ui, &kFakeConnections);
    stops = 0;
    window = AskForPassword();
    ASSERT_TRUE(window);
    window->close(); // what the window manager's close request ends in
    ExpectCancelled("close button");
}

// Receiver names arrive as UTF-8 and must reach the windows as written.
TEST_F(DesktopUiTest, ReminderAndStatusTextsKeepNonAsciiNames) {
    const char *name = "Salon M\xC3\xBCller \xE2\x80\x94 \xE5\xAE\xA2\xE5\x8E\x85";
    c.selectedServiceName = CFStringFromBytes(name, 0);
    Settings.values.mirroringReminder = 1;
    ControllerTimerFired(&c, kReminderTimerId); // the reminder period ran out
    QCoreApplication::processEvents();
    QWidget *reminder = TopLevel(QStringLiteral("Mirroring Reminder"));
    ASSERT_TRUE(reminder && reminder->isVisible());
    EXPECT_TRUE(LabelText(reminder).contains(QString::fromUtf8(name)))
        << LabelText(reminder).toStdString();
    ControllerTimerFired(&c, kReminderCountdownTimerId); // one second of the countdown
    EXPECT_TRUE(LabelText(reminder).contains(QString::fromUtf8(name) + ".  Would"))
        << LabelText(reminder).toStdString();
    EXPECT_TRUE(LabelText(reminder).contains(QStringLiteral("60 seconds.")));
    ReminderContinue(&c);

    const char *status = "Capturing the window \xE2\x80\x9C"
                         "Caf\xC3\xA9\xE2\x80\x9D";
    DesktopUiPostStatusText(ui, status);
    QCoreApplication::processEvents();
    QWidget *preferences = TopLevel(QStringLiteral("Preferences"));
    ASSERT_TRUE(preferences);
    EXPECT_TRUE(LabelText(preferences).contains(QString::fromUtf8(status)))
        << LabelText(preferences).toStdString();
}

} // namespace
