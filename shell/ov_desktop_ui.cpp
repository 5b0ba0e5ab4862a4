#include "shell/ov_desktop_ui.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QFile>
#include <QtCore/QMetaObject>
#include <QtCore/QStringList>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#include <QtCore/QUrl>
#include <QtDBus/QDBusConnection>
#include <QtGui/QCloseEvent>
#include <QtGui/QCursor>
#include <QtGui/QDesktopServices>
#include <QtGui/QGuiApplication>
#include <QtGui/QIcon>
#include <QtGui/QImage>
#include <QtGui/QPainter>
#include <QtGui/QScreen>
#include <QtWidgets/QApplication>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QDialog>
#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMenu>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QSlider>
#include <QtWidgets/QSystemTrayIcon>
#include <QtWidgets/QTabWidget>
#include <QtWidgets/QTextBrowser>
#include <QtWidgets/QVBoxLayout>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "base/folders.h"
#include "base/log.h"
#include "capture/capture_manager.h"
#include "capture/displays.h"
#include "capture/windows.h"
#include "net/network_monitor.h"
#include "plist/cfvalue.h"
#include "shell/ov_display_sleep.h"
#include "shell/ov_sleep_watch.h"
#include "shell/ov_updater.h"
#include "shell/settings.h"
#include "shell/tray_menu.h"
#include "video/x264_adapter.h"

#ifndef OSTREL_SUPPORT_URL
#define OSTREL_SUPPORT_URL "https://ostrel.invalid/support"
#endif

namespace {

void RunOnMain(std::function<void()> f) {
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) return;
    if (QThread::currentThread() == app->thread())
        f();
    else
        QMetaObject::invokeMethod(app, std::move(f), Qt::QueuedConnection);
}

} // namespace

// The Preferences window: closing, minimising, Cancel and OK only hide it.
class PreferencesWindow : public QDialog {
  public:
    using QDialog::QDialog;
    DesktopUi *ui = nullptr;

  protected:
    void closeEvent(QCloseEvent *event) override {
        event->ignore();
        hide();
    }
    void changeEvent(QEvent *event) override {
        QDialog::changeEvent(event);
        if (event->type() == QEvent::WindowStateChange && isMinimized()) hide();
    }
    void reject() override { hide(); }
};

class ReminderWindow : public QDialog {
  public:
    Controller *controller = nullptr;
    QLabel *text = nullptr;

  protected:
    void closeEvent(QCloseEvent *event) override {
        event->ignore();
        ReminderCloseRequested(controller);
    }
    void reject() override { ReminderCloseRequested(controller); }
};

struct DesktopUi {
    Controller *controller;
    DesktopUiOptions options;
    bool servicesStarted = false;
    Updater *updater = nullptr;
    bool updaterInitialised = false;
    PreferencesWindow *preferences = nullptr;
    QTabWidget *tabs = nullptr;
    QSlider *underscan = nullptr, *quality = nullptr, *frameRate = nullptr;
    QLabel *underscanValue = nullptr, *frameRateValue = nullptr, *status = nullptr;
    QCheckBox *showMouse = nullptr, *force720p = nullptr, *reminder = nullptr;
    QComboBox *minutes = nullptr;
    QSystemTrayIcon *tray = nullptr;
    QWidget *fallback = nullptr; // the menu's window where no notification area runs
    QDialog *password = nullptr;
    QLineEdit *passwordEdit = nullptr;
    ReminderWindow *reminderWindow = nullptr;
    std::map<int, QTimer *> timers;
    std::atomic<int> timerGeneration[3] = {0, 0, 0};
    SleepWatch *sleepWatch = nullptr;
    QMenu *menu = nullptr;
};

namespace {

constexpr int kUpdateTimerId = 3; // after the controller's two reminder timers

DesktopUi *Ui(void *context) {
    return static_cast<DesktopUi *>(context);
}

QIcon ProgramIcon() {
    QIcon icon = QIcon::fromTheme(QStringLiteral("ostrel"));
    if (!icon.isNull()) return icon;
    // Drawn when the icon theme has none (running from the build tree).
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(0x2f, 0x6f, 0xb0));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(4, 8, 56, 38, 6, 6);
    p.setBrush(QColor(0xf2, 0xf2, 0xf2));
    p.drawRect(10, 14, 44, 26);
    p.setBrush(QColor(0x2f, 0x6f, 0xb0));
    p.drawPolygon(QPolygon({QPoint(20, 58), QPoint(44, 58), QPoint(32, 44)}));
    return QIcon(pixmap);
}

// ---- the Settings page ----

void RefreshPreferenceControls(DesktopUi *ui) {
    if (!ui->underscan) return;
    const SettingsValues &s = Settings.values;
    QSignalBlocker b1(ui->underscan), b2(ui->quality), b3(ui->frameRate);
    ui->underscan->setValue((int)(s.overscan * 100.0));
    ui->quality->setValue(s.quality);
    ui->frameRate->setValue(s.maxFps);
    if (s.mirroringReminder == 1) ui->reminder->setChecked(true);
    int m = s.mirroringReminderMinutes;
    ui->minutes->setCurrentText(m == 30 ? "30" : m == 45 ? "45" : m == 60 ? "60" : "15");
    if (s.showMouse) ui->showMouse->setChecked(true);
    if (s.force720p) ui->force720p->setChecked(true);
    ui->underscanValue->setText(QString::number(ui->underscan->value()));
    ui->frameRateValue->setText(QString::number(ui->frameRate->value()));
    if (CaptureManager *m2 = ui->controller->captureManager)
        m2->maxFps.store(ui->frameRate->value());
}

// Page up/down and thumb tracking apply all three sliders; other moves wait for one.
void SliderAction(DesktopUi *ui, int action) {
    if (action != QAbstractSlider::SliderPageStepAdd &&
        action != QAbstractSlider::SliderPageStepSub && action != QAbstractSlider::SliderMove)
        return;
    CaptureManager *m = ui->controller->captureManager;
    int p = ui->underscan->sliderPosition();
    ui->underscanValue->setText(QString::number(p));
    Settings.values.overscan = p / 100.0;
    if (m) CaptureSetOverscan(m, p / 100.0);
    int q = ui->quality->sliderPosition();
    Settings.values.quality = q;
    if (m) {
        m->quality.store(q + 2);
        m->rebuildEncoder.store(1);
    }
    int f = ui->frameRate->sliderPosition();
    Settings.values.maxFps = f;
    ui->frameRateValue->setText(QString::number(f));
    if (m) m->maxFps.store(f);
}

void ReadReminderControls(DesktopUi *ui) {
    Settings.values.mirroringReminder = ui->reminder->isChecked() ? 1 : 0;
    QString text = ui->minutes->currentText().left(1023);
    int minutes = text == "30" ? 30 : text == "45" ? 45 : text == "60" ? 60 : 15;
    Settings.values.mirroringReminderMinutes = minutes;
    if (ControllerEstablished(ui->controller)) {
        if (Settings.values.mirroringReminder)
            StartMirroringReminderTimer(ui->controller, minutes);
        else
            StopMirroringReminderTimer(ui->controller);
    }
}

QSlider *Slider(int low, int high) {
    auto *s = new QSlider(Qt::Horizontal);
    s->setRange(low, high);
    s->setPageStep(1);
    s->setTickPosition(QSlider::TicksBelow);
    return s;
}

QWidget *MakeSettingsPage(DesktopUi *ui) {
    auto *page = new QWidget;
    auto *grid = new QGridLayout(page);
    ui->underscan = Slider(0, 20);
    ui->quality = Slider(0, 3);
    // Each position is a ceiling on the bitrate (the link may hold it lower).
    QStringList ceilings;
    for (int position = 0; position <= 3; position++)
        ceilings << QString::number(X264MaxKbpsForQuality(position + 2) / 1000);
    ui->quality->setToolTip(QStringLiteral("At most %1 Mbit/s, from left to right")
                                .arg(ceilings.join(QStringLiteral(", "))));
    ui->frameRate = Slider(10, 60);
    ui->frameRate->setTickInterval(10);
    ui->underscanValue = new QLabel;
    ui->frameRateValue = new QLabel;
    grid->addWidget(new QLabel(QStringLiteral("Underscan")), 0, 0);
    grid->addWidget(ui->underscan, 0, 1);
    grid->addWidget(ui->underscanValue, 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("Video Quality")), 1, 0);
    grid->addWidget(ui->quality, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Max Frame Rate")), 2, 0);
    grid->addWidget(ui->frameRate, 2, 1);
    grid->addWidget(ui->frameRateValue, 2, 2);
    ui->showMouse = new QCheckBox(QStringLiteral("Show Mouse Cursor"));
    ui->force720p = new QCheckBox(QStringLiteral("Force 720p"));
    grid->addWidget(ui->showMouse, 3, 0, 1, 3);
    grid->addWidget(ui->force720p, 4, 0, 1, 3);
    auto *row = new QHBoxLayout;
    ui->reminder =
        new QCheckBox(QStringLiteral("Remind me that mirroring is still connected every"));
    ui->minutes = new QComboBox;
    ui->minutes->setEditable(true);
    for (const char *m : {"60", "45", "30", "15"})
        ui->minutes->insertItem(0, QString::fromLatin1(m));
    row->addWidget(ui->reminder);
    row->addWidget(ui->minutes);
    row->addWidget(new QLabel(QStringLiteral("minutes")));
    row->addStretch();
    grid->addLayout(row, 5, 0, 1, 3);
    ui->status = new QLabel;
    grid->addWidget(ui->status, 6, 0, 1, 3);
    grid->setRowStretch(7, 1);
    for (QSlider *s : {ui->underscan, ui->quality, ui->frameRate})
        QObject::connect(s, &QSlider::actionTriggered, page, [ui](int a) { SliderAction(ui, a); });
    QObject::connect(ui->showMouse, &QCheckBox::stateChanged, page, [ui](int state) {
        int v = state == Qt::Checked ? 1 : state == Qt::Unchecked ? 0 : -1;
        if (v < 0) return;
        Settings.values.showMouse = v;
        if (CaptureManager *m = ui->controller->captureManager) m->showCursor.store(v);
    });
    QObject::connect(ui->force720p, &QCheckBox::stateChanged, page, [ui](int state) {
        int v = state == Qt::Checked ? 1 : state == Qt::Unchecked ? 0 : -1;
        if (v < 0) return;
        Settings.values.force720p = v;
        if (CaptureManager *m = ui->controller->captureManager) m->force720p.store(v);
    });
    return page;
}

// ---- the About page ----

QString Acknowledgements() {
    // Installed beside the program's data, or next to the executable in the build tree.
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    QStringList candidates;
    if (n > 0) {
        exe[n] = '\0';
        QString dir = QString::fromUtf8(exe).section('/', 0, -2);
        candidates << dir + "/acknowledgments.html"
                   << dir + "/../share/ostrel/acknowledgments.html";
    }
    candidates << QStringLiteral(OSTREL_SOURCE_DIR "/shell/data/acknowledgments.html");
    for (const QString &path : candidates) {
        QFile f(path);
        if (f.open(QIODevice::ReadOnly)) return QString::fromUtf8(f.read(65535));
    }
    return QString();
}

QWidget *MakeAboutPage(DesktopUi *ui) {
    auto *page = new QWidget;
    auto *layout = new QVBoxLayout(page);
    auto *top = new QHBoxLayout;
    auto *icon = new QLabel;
    icon->setPixmap(ProgramIcon().pixmap(48, 48));
    top->addWidget(icon);
    auto *texts = new QVBoxLayout;
    unsigned a = 0, b = 0, c = 0;
    sscanf(OSTREL_VERSION, "%u.%u.%u", &a, &b, &c);
    texts->addWidget(new QLabel(QStringLiteral("Ostrel, Version %1.%2.%3").arg(a).arg(b).arg(c)));
    texts->addWidget(new QLabel(QStringLiteral("Screen and sound mirroring for Linux desktops.")));
    texts->addWidget(new QLabel(QStringLiteral("Copyright the Ostrel developers.")));
    top->addLayout(texts);
    top->addStretch();
    layout->addLayout(top);
    auto *notes = new QTextBrowser;
    notes->setOpenExternalLinks(true);
    notes->setHtml(Acknowledgements());
    layout->addWidget(notes);
    auto *buttons = new QHBoxLayout;
    auto *check = new QPushButton(QStringLiteral("Check for Updates"));
    auto *locate = new QPushButton(QStringLiteral("Locate Log File"));
    buttons->addWidget(check);
    buttons->addWidget(locate);
    buttons->addStretch();
    layout->addLayout(buttons);
    QObject::connect(check, &QPushButton::clicked, page, [ui] {
        if (ui->updaterInitialised) {
            UpdaterCheck(ui->updater, true);
            return;
        }
        DebugLog(2,
                 "Updater has not been previously initialized. Set it up then check for update.\n");
        if (!ui->updater) ui->updater = UpdaterCreate(true);
        ui->updaterInitialised = true;
        QTimer::singleShot(3000, ui->preferences, [ui] {
            DebugLog(2, "CheckForUpdateTimer idEvent:%i\n", kUpdateTimerId);
            DebugLog(2, "Update timer fired. Check for update.\n");
            UpdaterCheck(ui->updater, true);
        });
    });
    QObject::connect(locate, &QPushButton::clicked, page, [] { LocateLogFile(); });
    return page;
}

// ---- the menu ----

void ShowPreferences(DesktopUi *ui) {
    CaptureManager *m = ui->controller->captureManager;
    if (m && m->overscan.load() != Settings.values.overscan) {
        Settings.values.overscan = m->overscan.load();
        RefreshPreferenceControls(ui);
    }
    ui->preferences->showNormal();
    ui->preferences->raise();
    ui->preferences->activateWindow();
}

// The window's own icon (_NET_WM_ICON), the size nearest the menu's; null when it has none.
QIcon WindowIcon(Display *display, uintptr_t window) {
    if (!display || !window) return QIcon();
    Atom property = XInternAtom(display, "_NET_WM_ICON", True);
    if (property == None) return QIcon();
    Atom type;
    int format;
    unsigned long count = 0, after = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(display, (Window)window, property, 0, 1 << 20, False, XA_CARDINAL, &type,
                           &format, &count, &after, &data) != Success ||
        !data)
        return QIcon();
    // Cardinals arrive as longs: width, height, then width x height ARGB pixels, repeated.
    const unsigned long *words = reinterpret_cast<const unsigned long *>(data);
    const unsigned long *best = nullptr;
    unsigned long bestW = 0, bestH = 0;
    for (unsigned long at = 0; at + 2 <= count;) {
        unsigned long w = words[at], h = words[at + 1];
        if (w == 0 || h == 0 || w > 1024 || h > 1024 || w * h > count - at - 2) break;
        if (!best || (bestW < 16 ? w > bestW : (w >= 16 && w < bestW))) {
            best = words + at + 2;
            bestW = w;
            bestH = h;
        }
        at += 2 + w * h;
    }
    QIcon icon;
    if (best) {
        QImage image((int)bestW, (int)bestH, QImage::Format_ARGB32);
        for (unsigned long y = 0; y < bestH; y++)
            for (unsigned long x = 0; x < bestW; x++)
                image.setPixel((int)x, (int)y, (uint32_t)best[y * bestW + x]);
        icon = QIcon(QPixmap::fromImage(image));
    }
    XFree(data);
    return icon;
}

void AddEntries(DesktopUi *ui, QMenu *menu, const std::vector<MenuEntry> &entries,
                Display *display) {
    for (const MenuEntry &e : entries) {
        if (e.kind == kMenuSeparator) {
            menu->addSeparator();
        } else if (e.kind == kMenuSubmenu) {
            QMenu *sub = menu->addMenu(QString::fromUtf8(e.text.c_str()));
            sub->menuAction()->setCheckable(e.checked);
            sub->menuAction()->setChecked(e.checked);
            if (e.iconWindow) sub->setIcon(WindowIcon(display, e.iconWindow));
            AddEntries(ui, sub, e.children, display);
        } else {
            QAction *action = menu->addAction(QString::fromUtf8(e.text.c_str()));
            action->setEnabled(e.enabled && !e.greyed);
            if (e.checked) {
                action->setCheckable(true);
                action->setChecked(true);
            }
            if (e.iconWindow) action->setIcon(WindowIcon(display, e.iconWindow));
            int id = e.id;
            QObject::connect(action, &QAction::triggered, menu,
                             [ui, id] { DesktopUiCommand(ui, id); });
        }
    }
}

QMenu *BuildMenu(DesktopUi *ui) {
    Controller *c = ui->controller;
    CFValue *services = c->discovery ? c->discovery->serviceList(c->discoveryContext) : nullptr;
    CFValue *apps = ui->servicesStarted ? BuildAppList() : nullptr;
    ControllerSetShownApps(c, apps);
    TrayMenuInputs in = TrayMenuInputsFrom(c, ui->preferences->isVisible(), ui->servicesStarted,
                                           services, DisplayNames(), apps);
    CFValue *speakers = c->discovery && c->discovery->speakerList
                            ? c->discovery->speakerList(c->discoveryContext)
                            : nullptr;
    TrayMenuAddSpeakers(c, &in, speakers);
    std::vector<MenuEntry> entries = BuildTrayMenu(&in);
    AudioEnabledFlag = in.audioEnabled;
    // What the user was offered, for support: one line per showing.
    std::string shown;
    for (const MenuEntry &e : entries)
        if (e.kind != kMenuSeparator) shown += (shown.empty() ? "" : " | ") + e.text;
    DebugLog(2, "Tray menu: %s\n", shown.c_str());
    CFValueRelease(services);
    CFValueRelease(speakers);
    CFValueRelease(apps);
    delete ui->menu;
    ui->menu = new QMenu;
    Display *display = XOpenDisplay(nullptr);
    AddEntries(ui, ui->menu, entries, display);
    if (display) XCloseDisplay(display);
    return ui->menu;
}

void ShowTrayMenu(DesktopUi *ui) {
    QMenu *menu = BuildMenu(ui);
    QPoint at = QCursor::pos();
    menu->popup(QPoint(at.x(), at.y() - menu->sizeHint().height()));
}

// ---- platform ops ----

void Prevent(void *) {
    OvPreventDisplaySleep();
}
void Allow(void *) {
    OvAllowDisplaySleep();
}

int RequestPasswordWindow(void *context) {
    DesktopUi *ui = Ui(context);
    if (!ui->options.interactive) return 0;
    RunOnMain([ui] { OpenPasswordWindow(ui->controller); });
    return 1;
}

void OpenPassword(void *context) {
    DesktopUi *ui = Ui(context);
    if (!ui->password) {
        ui->password = new QDialog;
        ui->password->setWindowTitle(QStringLiteral("Password"));
        auto *layout = new QVBoxLayout(ui->password);
        layout->addWidget(new QLabel(QStringLiteral("This receiver asks for a password:")));
        ui->passwordEdit = new QLineEdit;
        ui->passwordEdit->setEchoMode(QLineEdit::Password);
        ui->passwordEdit->setMaxLength(1023);
        layout->addWidget(ui->passwordEdit);
        auto *box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
        layout->addWidget(box);
        QObject::connect(box, &QDialogButtonBox::accepted, ui->password, [ui] {
            QByteArray text = ui->passwordEdit->text().toUtf8();
            ui->password->hide();
            PasswordWindowOk(ui->controller, text.constData());
        });
        // Cancel, Esc and the title bar's close button all end in the dialog's reject; a
        // window closed without an answer would leave the connection waiting for one.
        QObject::connect(box, &QDialogButtonBox::rejected, ui->password, &QDialog::reject);
        QObject::connect(ui->password, &QDialog::rejected, ui->password,
                         [ui] { PasswordWindowCancel(ui->controller); });
    }
    ui->passwordEdit->clear();
    ui->password->show();
    ui->password->raise();
    ui->password->activateWindow();
    ui->passwordEdit->setFocus();
}

void ClosePassword(void *context) {
    DesktopUi *ui = Ui(context);
    RunOnMain([ui] {
        if (ui->password) ui->password->hide();
    });
}

void ShowDeviceInUse(void *context, const char *name) {
    DesktopUi *ui = Ui(context);
    if (!ui->options.interactive) return;
    QString text =
        QStringLiteral("\"%1\" is being used by someone else.").arg(QString::fromUtf8(name));
    RunOnMain([text] {
        auto *box =
            new QMessageBox(QMessageBox::Information, QStringLiteral("Device Not Available"), text);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->show();
    });
}

void StartTimer(void *context, int id, int periodMs, int repeat) {
    DesktopUi *ui = Ui(context);
    int generation = ++ui->timerGeneration[id];
    RunOnMain([ui, id, periodMs, repeat, generation] {
        if (ui->timerGeneration[id].load() != generation) return; // killed meanwhile
        QTimer *&t = ui->timers[id];
        if (!t) {
            t = new QTimer;
            QObject::connect(t, &QTimer::timeout,
                             [ui, id] { ControllerTimerFired(ui->controller, id); });
        }
        t->setSingleShot(!repeat);
        t->start(periodMs);
    });
}

void KillTimer(void *context, int id) {
    DesktopUi *ui = Ui(context);
    int generation = ++ui->timerGeneration[id];
    RunOnMain([ui, id, generation] {
        if (ui->timerGeneration[id].load() != generation) return; // restarted meanwhile
        auto it = ui->timers.find(id);
        if (it != ui->timers.end() && it->second) it->second->stop();
    });
}

ReminderWindow *Reminder(DesktopUi *ui) {
    if (ui->reminderWindow) return ui->reminderWindow;
    auto *w = new ReminderWindow;
    w->controller = ui->controller;
    w->setWindowTitle(QStringLiteral("Mirroring Reminder"));
    auto *layout = new QVBoxLayout(w);
    w->text = new QLabel;
    w->text->setWordWrap(true);
    w->text->setMinimumWidth(360);
    layout->addWidget(w->text);
    auto *row = new QHBoxLayout;
    auto *keep = new QPushButton(QStringLiteral("Continue"));
    auto *stop = new QPushButton(QStringLiteral("Stop Mirroring"));
    keep->setDefault(true);
    row->addStretch();
    row->addWidget(keep);
    row->addWidget(stop);
    layout->addLayout(row);
    Controller *c = ui->controller;
    QObject::connect(keep, &QPushButton::clicked, w, [c] { ReminderContinue(c); });
    QObject::connect(stop, &QPushButton::clicked, w, [c] { ReminderStopMirroring(c); });
    ui->reminderWindow = w;
    return w;
}

// The controller's texts are UTF-8 (receiver names as announced).
void ShowReminder(void *context, const char *text) {
    ReminderWindow *w = Reminder(Ui(context));
    w->text->setText(QString::fromUtf8(text));
    w->show();
    w->raise();
}

void SetReminderText(void *context, const char *text) {
    Reminder(Ui(context))->text->setText(QString::fromUtf8(text));
}

int ReminderVisible(void *context) {
    DesktopUi *ui = Ui(context);
    return ui->reminderWindow && ui->reminderWindow->isVisible();
}

void HideReminder(void *context) {
    DesktopUi *ui = Ui(context);
    if (ui->reminderWindow) ui->reminderWindow->hide();
}

// _NET_ACTIVE_WINDOW from a pager: the window manager raises and focuses it.
void ActivateWindow(void *, uintptr_t window) {
    Display *d = XOpenDisplay(nullptr);
    if (!d) return;
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = (Window)window;
    e.xclient.message_type = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = 2; // source: a pager, as a user's explicit choice
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask,
               &e);
    XFlush(d);
    XCloseDisplay(d);
}

void RestartDiscovery(void *context) {
    Controller *c = static_cast<Controller *>(context);
    if (c->discovery) c->discovery->start(c->discoveryContext);
}

void StartMonitor(void *context) {
    NetworkMonitorStart(RestartDiscovery, Ui(context)->controller);
}
void StopMonitor(void *) {
    NetworkMonitorStop();
}

void ConnectionEnded(void *context) {
    DesktopUi *ui = Ui(context);
    if (!ui->options.quitWhenConnectionEnds) return;
    RunOnMain([] { QCoreApplication::quit(); });
}

} // namespace

const ControllerPlatformOps kDesktopPlatformOps = {
    .preventDisplaySleep = Prevent,
    .allowDisplaySleep = Allow,
    .requestPasswordWindow = RequestPasswordWindow,
    .openPasswordWindow = OpenPassword,
    .closePasswordWindow = ClosePassword,
    .showDeviceInUse = ShowDeviceInUse,
    .startTimer = StartTimer,
    .killTimer = KillTimer,
    .showReminder = ShowReminder,
    .setReminderText = SetReminderText,
    .reminderVisible = ReminderVisible,
    .hideReminder = HideReminder,
    .activateWindow = ActivateWindow,
    .startNetworkMonitor = StartMonitor,
    .stopNetworkMonitor = StopMonitor,
    .connectionEnded = ConnectionEnded,
};

DesktopUi *DesktopUiCreate(Controller *controller, const DesktopUiOptions &options) {
    auto *ui = new DesktopUi;
    ui->controller = controller;
    ui->options = options;
    if (!options.interactive) return ui;
    ui->preferences = new PreferencesWindow;
    ui->preferences->ui = ui;
    ui->preferences->setWindowTitle(QStringLiteral("Preferences"));
    ui->preferences->setWindowIcon(ProgramIcon());
    // Suspend and resume come from logind on the system bus.
    if (!options.silent) {
        ui->sleepWatch = SleepWatchStart([controller](bool suspending) {
            if (suspending)
                OnSuspend(controller);
            else
                OnResume(controller);
        });
    }
    return ui;
}

bool DesktopUiShowTray(DesktopUi *ui) {
    if (!ui->options.interactive || ui->options.silent) return true;
    auto *layout = new QVBoxLayout(ui->preferences);
    ui->tabs = new QTabWidget;
    ui->tabs->addTab(MakeSettingsPage(ui), QStringLiteral("Settings"));
    ui->tabs->addTab(MakeAboutPage(ui), QStringLiteral("About"));
    if (ui->tabs->count() != 2) return false;
    QScreen *screen = QGuiApplication::primaryScreen();
    bool highDpi =
        screen && (screen->logicalDotsPerInchX() > 96 || screen->logicalDotsPerInchY() > 96);
    ui->tabs->setMinimumSize(highDpi ? QSize(500, 250) : QSize(420, 210));
    layout->addWidget(ui->tabs);
    auto *box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    layout->addWidget(box);
    QObject::connect(box, &QDialogButtonBox::accepted, ui->preferences,
                     [ui] { DesktopUiCommand(ui, kCommandOk); });
    QObject::connect(box, &QDialogButtonBox::rejected, ui->preferences,
                     [ui] { DesktopUiCommand(ui, kCommandCancel); });
    RefreshPreferenceControls(ui);

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        ui->tray = new QSystemTrayIcon(ProgramIcon());
        ui->tray->setToolTip(QStringLiteral("Ostrel"));
        QObject::connect(ui->tray, &QSystemTrayIcon::activated, ui->tray,
                         [ui](QSystemTrayIcon::ActivationReason r) {
                             if (r == QSystemTrayIcon::Context)
                                 ShowTrayMenu(ui);
                             else if (r == QSystemTrayIcon::DoubleClick)
                                 ShowPreferences(ui);
                         });
        ui->tray->show();
        DebugLog(2, "Tray icon added\n");
    } else {
        // Some desktops have no notification area: the same menu from a small window.
        DebugLog(2,
                 "No notification area is running; the menu is offered from the Ostrel window\n");
        auto *w = new QWidget;
        w->setWindowTitle(QStringLiteral("Ostrel"));
        w->setWindowIcon(ProgramIcon());
        auto *l = new QHBoxLayout(w);
        auto *icon = new QLabel;
        icon->setPixmap(ProgramIcon().pixmap(32, 32));
        l->addWidget(icon);
        auto *button = new QPushButton(QStringLiteral("Ostrel Menu"));
        l->addWidget(button);
        QObject::connect(button, &QPushButton::clicked, w, [ui, button] {
            QMenu *menu = BuildMenu(ui);
            menu->popup(button->mapToGlobal(QPoint(0, button->height())));
        });
        w->show();
        ui->fallback = w;
    }
    return true;
}

void DesktopUiServicesStarted(DesktopUi *ui) {
    ui->servicesStarted = true;
}

void DesktopUiSetUpdater(DesktopUi *ui, Updater *updater) {
    ui->updater = updater;
    ui->updaterInitialised = updater != nullptr;
}

void DesktopUiSetQuitWhenConnectionEnds(DesktopUi *ui, bool quit) {
    ui->options.quitWhenConnectionEnds = quit;
}

void DesktopUiPostStatusText(void *context, const char *text) {
    DesktopUi *ui = Ui(context);
    if (text && *text) DebugLog(1, "%s\n", text);
    if (!ui->status) return;
    QString copy = QString::fromUtf8(text ? text : "");
    RunOnMain([ui, copy] { ui->status->setText(copy); });
}

void DesktopUiCommand(DesktopUi *ui, int command) {
    Controller *c = ui->controller;
    switch (command) {
    case kCommandOk:
        ReadReminderControls(ui);
        SettingsSave();
        ui->preferences->hide();
        return;
    case kCommandCancel:
    case kCommandHidePreferences:
        ui->preferences->hide();
        return;
    case kCommandShowPreferences:
        ShowPreferences(ui);
        return;
    case kCommandExit:
        StopAudioForExit(c);
        if (ui->tray) ui->tray->hide();
        QCoreApplication::quit();
        return;
    case kCommandPassword:
        OpenPasswordWindow(c);
        return;
    case kCommandToggleAudio:
        ToggleAudio(c);
        return;
    case kCommandHelp:
        QDesktopServices::openUrl(QUrl(QStringLiteral(OSTREL_SUPPORT_URL)));
        return;
    default:
        break;
    }
    if (command >= kCommandFirstSpeaker && command < kCommandFirstSpeaker + kMaxSpeakers)
        (void)ConnectToSpeaker(c, command - kCommandFirstSpeaker);
    else if (command >= kCommandFirstReceiver && command <= kCommandFirstReceiver + 1024)
        ConnectToSelectedService(c, command - kCommandFirstReceiver);
    else if (command >= kCommandFirstDisplay && command < kCommandFirstDisplay + 32)
        ChooseDisplay(c, command - kCommandFirstDisplay);
    else if (command > 0x842D)
        ChooseAppWindow(c, command);
}

void DesktopUiDestroy(DesktopUi *ui) {
    if (!ui) return;
    SleepWatchStop(ui->sleepWatch);
    for (auto &t : ui->timers)
        delete t.second;
    delete ui->menu;
    delete ui->tray;
    delete ui->fallback;
    delete ui->password;
    delete ui->reminderWindow;
    delete ui->preferences;
    if (ui->updater) UpdaterDestroy(ui->updater);
    delete ui;
}

namespace {

CFValue *TextList(std::initializer_list<const char *> texts) {
    CFValue *list = CFArrayNew((uint32_t)texts.size());
    for (const char *text : texts) {
        CFValue *s = CFStringFromBytes(text, 0);
        CFArrayPush(list, s);
        CFValueRelease(s);
    }
    return list;
}

// The menu as it shows while the sound plays on a speaker, beside a receiver and a speaker
// that wants encrypted sound only (example names).
bool SaveSpeakerMenu(DesktopUi *ui, const QString &path) {
    CFValue *services = TextList({"Living Room TV"});
    CFValue *speakers = TextList({"5855CA1AE288@Kitchen", "0A1B2C3D4E5F@Garden",
                                  "112233445566@Old Stereo"});
    CFValue *displays = DisplayNames();
    TrayMenuInputs in =
        TrayMenuInputsFrom(ui->controller, false, true, services, displays, nullptr);
    in.speakers = speakers;
    in.selectedSpeaker = 0;
    in.speakerUnusable = {kSpeakerUsable, kSpeakerUsable, kSpeakerEncryptedOnly};
    in.speakerConnecting = false;
    in.hasConnection = false;
    in.selectedIndex = -1;
    in.hasAudioConnection = true;
    in.audioState = 9;
    in.audioFailure = 0;
    in.lastAudioFailure = 0;
    in.audioEnabled = true;
    std::vector<MenuEntry> entries = BuildTrayMenu(&in);
    QMenu menu;
    Display *display = XOpenDisplay(nullptr);
    AddEntries(ui, &menu, entries, display);
    if (display) XCloseDisplay(display);
    menu.popup(QPoint(40, 40));
    QCoreApplication::processEvents();
    bool ok = menu.grab().save(path);
    menu.hide();
    CFValueRelease(services);
    CFValueRelease(speakers);
    return ok;
}

} // namespace

bool DesktopUiScreenshots(DesktopUi *ui, const char *folder) {
    if (!ui->preferences || !ui->tabs) return false;
    QString dir = QString::fromUtf8(folder);
    bool ok = true;
    ShowPreferences(ui);
    for (int tab = 0; tab < 2; tab++) {
        ui->tabs->setCurrentIndex(tab);
        QCoreApplication::processEvents();
        ok &= ui->preferences->grab().save(
            dir + (tab ? "/preferences-about.png" : "/preferences-settings.png"));
    }
    ui->preferences->hide();
    // The reminder as it shows while mirroring to a receiver.
    std::string text = ReminderText(ui->controller, 42);
    const std::string empty = "mirroring to .";
    if (text.find(empty) != std::string::npos)
        text.replace(text.find(empty), empty.size(), "mirroring to Living Room.");
    ShowReminder(ui, text.c_str());
    QCoreApplication::processEvents();
    ok &= ui->reminderWindow->grab().save(dir + "/reminder.png");
    ui->reminderWindow->hide();
    QMenu *menu = BuildMenu(ui);
    menu->popup(QPoint(40, 40));
    QCoreApplication::processEvents();
    ok &= menu->grab().save(dir + "/menu.png");
    menu->hide();
    ok &= SaveSpeakerMenu(ui, dir + "/menu-speakers.png");
    return ok;
}
