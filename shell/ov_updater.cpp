#include "shell/ov_updater.h"

#include <memory>

#include <QtCore/QTimer>
#include <QtCore/QUrl>
#include <QtGui/QDesktopServices>
#include <QtNetwork/QNetworkAccessManager>
#include <QtNetwork/QNetworkReply>
#include <QtNetwork/QNetworkRequest>
#include <QtWidgets/QDialog>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTextBrowser>
#include <QtWidgets/QVBoxLayout>

#include "base/log.h"

namespace {

constexpr int kMaxFeedBytes = 1 << 20;
constexpr int kDailyMs = 24 * 3600 * 1000;

void ShowRelease(const AppcastRelease &release, const std::string &message) {
    auto *dialog = new QDialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QStringLiteral("Software Update"));
    auto *layout = new QVBoxLayout(dialog);
    layout->addWidget(new QLabel(QString::fromStdString(message)));
    auto *notes = new QTextBrowser;
    notes->setOpenExternalLinks(true);
    if (!release.notes.empty())
        notes->setHtml(QString::fromStdString(release.notes));
    else if (!release.notesLink.empty())
        notes->setHtml(QStringLiteral("<a href=\"%1\">Release notes</a>")
                           .arg(QString::fromStdString(release.notesLink).toHtmlEscaped()));
    layout->addWidget(notes);
    auto *link = new QLabel(QStringLiteral("<a href=\"%1\">%1</a>")
                                .arg(QString::fromStdString(release.downloadUrl).toHtmlEscaped()));
    link->setOpenExternalLinks(true);
    layout->addWidget(link);
    auto *buttons = new QHBoxLayout;
    auto *skip = new QPushButton(QStringLiteral("Skip This Version"));
    auto *later = new QPushButton(QStringLiteral("Remind Me Later"));
    auto *download = new QPushButton(QStringLiteral("Download"));
    download->setDefault(true);
    buttons->addWidget(skip);
    buttons->addStretch();
    buttons->addWidget(later);
    buttons->addWidget(download);
    layout->addLayout(buttons);
    std::string version = release.version, url = release.downloadUrl;
    QObject::connect(skip, &QPushButton::clicked, dialog, [dialog, version] {
        SetSkippedVersion(version);
        DebugLog(2, "Update %s skipped\n", version.c_str());
        dialog->close();
    });
    QObject::connect(later, &QPushButton::clicked, dialog, &QDialog::close);
    QObject::connect(download, &QPushButton::clicked, dialog, [dialog, url] {
        QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
        dialog->close();
    });
    dialog->resize(520, 380);
    dialog->show();
}

} // namespace

struct Updater {
    QNetworkAccessManager network;
    QTimer daily;
    bool interactive;
    int timeoutMs;
    bool busy = false;
};

Updater *UpdaterCreate(bool interactive, int timeoutMs) {
    auto *u = new Updater;
    u->interactive = interactive;
    u->timeoutMs = timeoutMs;
    return u;
}

void UpdaterDestroy(Updater *u) {
    delete u;
}

void UpdaterCheck(Updater *u, bool withUi,
                  std::function<void(UpdateOutcome, const std::string &)> done) {
    if (u->busy) return;
    u->busy = true;
    std::string feed = UpdateFeedUrl();
    DebugLog(2, "Checking for updates at %s\n", feed.c_str());
    QNetworkRequest request(QUrl(QString::fromStdString(feed)));
    request.setTransferTimeout(u->timeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Ostrel/" OSTREL_VERSION));
    QNetworkReply *reply = u->network.get(request);
    // Why the check cut the transfer short, for the message; empty when it did not.
    auto cutShort = std::make_shared<std::string>();
    // A feed larger than any real one is cut off rather than read without end.
    QObject::connect(
        reply, &QNetworkReply::downloadProgress, reply, [reply, cutShort](qint64 got, qint64) {
            if (got <= kMaxFeedBytes || !cutShort->empty()) return;
            *cutShort = "the feed is larger than " + std::to_string(kMaxFeedBytes / 1024) + " KiB";
            reply->abort();
        });
    // The transfer timeout only notices a silent server; one that drips a byte now and then
    // would keep the check (and the button) busy for good. The whole check has its bound.
    auto *limit = new QTimer(reply);
    limit->setSingleShot(true);
    QObject::connect(limit, &QTimer::timeout, reply, [u, reply, cutShort] {
        if (!cutShort->empty() || reply->isFinished()) return;
        *cutShort = "no complete answer within " +
                    QString::number(u->timeoutMs / 1000.0).toStdString() + " s";
        reply->abort();
    });
    limit->start(u->timeoutMs);
    QObject::connect(reply, &QNetworkReply::finished, reply, [u, reply, withUi, done, cutShort] {
        u->busy = false;
        std::string error;
        if (!cutShort->empty()) {
            error = *cutShort;
        } else if (reply->error() != QNetworkReply::NoError) {
            error = reply->errorString().toStdString();
        } else {
            int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (status != 0 && status != 200) error = "HTTP status " + std::to_string(status);
        }
        QByteArray body = error.empty() ? reply->read(kMaxFeedBytes) : QByteArray();
        reply->deleteLater();
        AppcastRelease release;
        std::string message;
        UpdateOutcome outcome = UpdateDecide(body.toStdString(), error, OSTREL_VERSION,
                                             SkippedVersion(), &release, &message);
        DebugLog(2, "Update check: %s\n", message.c_str());
        bool ui = withUi && u->interactive;
        if (outcome == kUpdateAvailable && u->interactive) {
            ShowRelease(release, message);
        } else if (ui) {
            auto *box = new QMessageBox(
                outcome == kUpdateFailed ? QMessageBox::Warning : QMessageBox::Information,
                QStringLiteral("Software Update"), QString::fromStdString(message));
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->show();
        }
        if (done) done(outcome, message);
    });
}

void UpdaterStartAutomatic(Updater *u) {
    UpdaterCheck(u, false);
    u->daily.setInterval(kDailyMs);
    QObject::connect(&u->daily, &QTimer::timeout, [u] { UpdaterCheck(u, false); });
    u->daily.start();
}
