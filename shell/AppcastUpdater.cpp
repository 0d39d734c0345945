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

#include "engine/core/Identity.h"
#include "platform/log/Log.h"

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

const log::Logger& logger() {
    static const log::Logger instance(engine::logSubsystem(), "AppcastUpdater");
    return instance;
}
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
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        if (reply_) {
            giveUp(reply_, "the update server did not finish within " +
                               std::to_string(limits_.totalMs / 1000) + " s");
        }
    });
    connect(&automaticTimer_, &QTimer::timeout, this, [this] {
        if (automaticChecks() && defaults_.boolean(kOnboardingCompletedKey)) check(nullptr);
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
    request.setTransferTimeout(limits_.stallMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QString::fromStdString("Tobble/" + currentVersion_));
    body_.clear();
    failure_.clear();
    reply_ = network_->get(request);
    QNetworkReply* reply = reply_;
    // The body is taken as it arrives, so the size limit holds while reading, not after.
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
        const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (announced > limits_.maxFeedBytes) {
            giveUp(reply, "the update server announced " + std::to_string(announced) +
                              " bytes, more than a feed's " + std::to_string(limits_.maxFeedBytes));
        }
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { collect(reply); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { finish(reply); });
    deadline_.start(limits_.totalMs);
}

void AppcastUpdater::collect(QNetworkReply* reply) {
    if (!failure_.empty() || !reply->isOpen()) return;
    body_ += reply->read(limits_.maxFeedBytes + 1 - body_.size());
    if (body_.size() > limits_.maxFeedBytes) {
        giveUp(reply, "the feed is larger than " + std::to_string(limits_.maxFeedBytes) + " bytes");
    }
}

void AppcastUpdater::giveUp(QNetworkReply* reply, std::string why) {
    if (!failure_.empty() || reply != reply_) return;
    failure_ = std::move(why);
    body_.clear();
    reply->abort();  // finishes the reply
}

void AppcastUpdater::finish(QNetworkReply* reply) {
    if (reply != reply_) return;
    collect(reply);
    deadline_.stop();
    reply->deleteLater();
    reply_ = nullptr;
    CheckResult result;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (!failure_.empty()) {
        result.error = failure_;
    } else if (reply->error() != QNetworkReply::NoError) {
        result.error = reply->errorString().toStdString();
    } else if (status != 0 && (status < 200 || status >= 300)) {
        result.error = "the update server answered HTTP " + std::to_string(status);
    } else {
        const auto parsed =
            parseAppcast(std::string_view(body_.constData(), static_cast<size_t>(body_.size())));
        if (!parsed.error.empty()) {
            result.error = parsed.error;
        } else if (auto update = newestUpdate(parsed.items, currentVersion_)) {
            result.outcome = Outcome::Found;
            result.update = std::move(update);
        } else {
            result.outcome = Outcome::NotFound;
        }
    }
    body_.clear();
    body_.squeeze();
    failure_.clear();
    // A failed check found nothing either way: the flag keeps its last real answer.
    if (result.outcome == Outcome::Failed) logger().error("Update check failed: " + result.error);
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
