#include "shell/AppcastUpdater.h"

#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPushButton>
#include <QVBoxLayout>

namespace tobble::shell {

// The updater's own window. Its class name marks it as an update window, so the update
// observer keeps it above the floating panel.
class SUUpdateAlert final : public QDialog {
    Q_OBJECT
  public:
    SUUpdateAlert(const QString& message, const QUrl& download,
                  std::function<void(const QUrl&)> open) {
        setWindowTitle(QStringLiteral("Software Update"));
        setAttribute(Qt::WA_DeleteOnClose);
        auto* layout = new QVBoxLayout(this);
        auto* text = new QLabel(message, this);
        text->setWordWrap(true);
        layout->addWidget(text);
        auto* buttons = new QDialogButtonBox(this);
        if (download.isValid()) {
            auto* get = buttons->addButton(QStringLiteral("Open Download Page"),
                                           QDialogButtonBox::AcceptRole);
            connect(get, &QPushButton::clicked, this, [this, download, open] {
                if (open) open(download);
                accept();
            });
        }
        buttons->addButton(download.isValid() ? QStringLiteral("Later") : QStringLiteral("OK"),
                           QDialogButtonBox::RejectRole);
        connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
        layout->addWidget(buttons);
    }
};

namespace {
constexpr int kFirstAutomaticCheckMs = 60 * 1000;
constexpr int kAutomaticCheckIntervalMs = 24 * 60 * 60 * 1000;
constexpr int kRequestTimeoutMs = 20 * 1000;
// A feed is a few kilobytes; anything far larger is not one.
constexpr qint64 kMaxFeedBytes = 4 * 1024 * 1024;
}  // namespace

AppcastUpdater::AppcastUpdater(system::UserDefaults& defaults, UpdateObserver& observer,
                               std::string currentVersion, std::string builtInFeedURL)
    : defaults_(defaults),
      observer_(observer),
      currentVersion_(std::move(currentVersion)),
      builtInFeedURL_(std::move(builtInFeedURL)),
      network_(std::make_unique<QNetworkAccessManager>()) {
    openURL = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    automaticTimer_.setSingleShot(true);
    connect(&automaticTimer_, &QTimer::timeout, this, [this] {
        if (automaticChecks()) check(nullptr);
        scheduleAutomaticCheck(kAutomaticCheckIntervalMs);
    });
}

AppcastUpdater::~AppcastUpdater() {
    if (reply_) reply_->abort();
    if (window_) delete window_.data();
}

QUrl AppcastUpdater::feedURL() const {
    if (auto configured = defaults_.string(kFeedURLKey); configured && !configured->empty()) {
        return QUrl(QString::fromStdString(*configured));
    }
    return QUrl(QString::fromStdString(builtInFeedURL_));
}

bool AppcastUpdater::automaticChecks() const { return defaults_.boolean(kAutomaticChecksKey); }

void AppcastUpdater::setAutomaticChecks(bool enabled) {
    defaults_.setBoolean(kAutomaticChecksKey, enabled);
}

void AppcastUpdater::start() { scheduleAutomaticCheck(kFirstAutomaticCheckMs); }

void AppcastUpdater::scheduleAutomaticCheck(int delayMs) { automaticTimer_.start(delayMs); }

void AppcastUpdater::check(std::function<void(const CheckResult&)> done) {
    if (done) waiting_.push_back(std::move(done));
    if (reply_) return;  // joins the check in flight
    const QUrl url = feedURL();
    if (!url.isValid() || url.scheme().isEmpty()) {
        CheckResult failed{Outcome::Failed, std::nullopt, "no valid update feed address"};
        auto callbacks = std::move(waiting_);
        waiting_.clear();
        QMetaObject::invokeMethod(
            this,
            [callbacks, failed] {
                for (const auto& callback : callbacks) callback(failed);
            },
            Qt::QueuedConnection);
        return;
    }
    QNetworkRequest request(url);
    request.setTransferTimeout(kRequestTimeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QString::fromStdString("Tobble/" + currentVersion_));
    reply_ = network_->get(request);
    QNetworkReply* reply = reply_;
    connect(reply, &QNetworkReply::finished, this, [this, reply] { finish(reply); });
}

void AppcastUpdater::finish(QNetworkReply* reply) {
    reply->deleteLater();
    reply_ = nullptr;
    CheckResult result;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError) {
        result.error = reply->errorString().toStdString();
    } else if (status != 0 && (status < 200 || status >= 300)) {
        result.error = "the update server answered HTTP " + std::to_string(status);
    } else {
        const QByteArray body = reply->read(kMaxFeedBytes);
        const auto parsed =
            parseAppcast(std::string_view(body.constData(), static_cast<size_t>(body.size())));
        if (!parsed.error.empty()) {
            result.error = parsed.error;
        } else if (auto update = newestUpdate(parsed.items, currentVersion_)) {
            result.outcome = Outcome::Found;
            result.update = std::move(update);
        } else {
            result.outcome = Outcome::NotFound;
        }
    }
    // A failed check found nothing either way: the flag keeps its last real answer.
    if (result.outcome == Outcome::Found) observer_.didFindValidUpdate();
    if (result.outcome == Outcome::NotFound) observer_.didNotFindUpdate();
    auto callbacks = std::move(waiting_);
    waiting_.clear();
    for (const auto& callback : callbacks) callback(result);
}

void AppcastUpdater::checkForUpdates() {
    QPointer<AppcastUpdater> self(this);
    check([self](const CheckResult& result) {
        if (self) self->showResult(result);
    });
}

void AppcastUpdater::showResult(const CheckResult& result) {
    if (window_) window_->close();
    QString message;
    QUrl download;
    const QString current = QString::fromStdString(currentVersion_);
    switch (result.outcome) {
        case Outcome::Found:
            message = QStringLiteral("Tobble %1 is available (you have %2).")
                          .arg(QString::fromStdString(result.update->displayVersion), current);
            download = QUrl(QString::fromStdString(result.update->downloadURL));
            break;
        case Outcome::NotFound:
            message = QStringLiteral("Tobble %1 is the newest version available.").arg(current);
            break;
        case Outcome::Failed:
            message = QStringLiteral("Could not check for updates: %1")
                          .arg(QString::fromStdString(result.error));
            break;
    }
    auto* window = new SUUpdateAlert(message, download, openURL);
    window_ = window;
    window->show();
    window->raise();
    window->activateWindow();
}

}  // namespace tobble::shell

#include "AppcastUpdater.moc"
