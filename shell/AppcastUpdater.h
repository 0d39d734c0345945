#pragma once

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <memory>
#include <string>

#include "platform/system/UserDefaults.h"
#include "shell/Appcast.h"
#include "shell/UpdateObserver.h"
#include "ui/PanelContext.h"

class QNetworkAccessManager;

class QWidget;

namespace tobble::shell {

// The Linux updater. It does not download or install anything: it reads an appcast feed (RSS
// items with a version and a link), tells the update observer whether a newer version exists,
// and on a user's check shows its own small window that offers to open the release's page in
// the browser. Installing stays with the user's package manager or build. The network request
// runs in Qt's event loop, so the interface never waits for it.
//
// Automatic checks follow "SUEnableAutomaticChecks": the first one a minute after start, then
// daily; they only set the observer's flag (the panel shows "Update available"), never a window.
class AppcastUpdater final : public QObject, public ui::Updates {
    Q_OBJECT
  public:
    enum class Outcome { Found, NotFound, Failed };
    struct CheckResult {
        Outcome outcome = Outcome::Failed;
        std::optional<AppcastItem> update;
        std::string error;
    };

    // What a check may cost before it is given up: a feed is a few kilobytes and comes at once.
    struct Limits {
        qint64 maxFeedBytes = 4 * 1024 * 1024;
        int stallMs = 20 * 1000;  // no byte for this long
        int totalMs = 60 * 1000;  // the whole transfer
    };

    static constexpr const char* kAutomaticChecksKey = "SUEnableAutomaticChecks";
    // Overrides the built-in feed address (tests, mirrors).
    static constexpr const char* kFeedURLKey = "SUFeedURL";
    // Set when the first-run guide is done: until the user has answered its update step, no
    // automatic check reaches the network.
    static constexpr const char* kOnboardingCompletedKey = "onboardingCompleted";

    AppcastUpdater(system::UserDefaults& defaults, UpdateObserver& observer,
                   std::string currentVersion, std::string builtInFeedURL);
    ~AppcastUpdater() override;

    // ui::Updates
    bool hasUpdater() const override { return true; }
    void checkForUpdates() override;  // user-initiated: shows the result window
    bool automaticChecks() const override;
    void setAutomaticChecks(bool enabled) override;
    bool updateAvailable() const override { return observer_.updateAvailable(); }
    ui::Subscription observeUpdateAvailable(std::function<void(bool)> changed) override {
        return observer_.observeUpdateAvailable(std::move(changed));
    }

    // Starts the automatic schedule.
    void start();
    // One check; `done` gets the result on the main thread. The observer hears about it first.
    void check(std::function<void(const CheckResult&)> done);
    QUrl feedURL() const;
    void setLimits(Limits limits) { limits_ = limits; }
    bool isChecking() const { return reply_ != nullptr; }
    // The result window of the last user-initiated check, while shown.
    QWidget* window() const { return window_; }
    // Opens a release page (the desktop's browser by default).
    std::function<void(const QUrl&)> openURL;

  private:
    // Takes what has arrived, giving the transfer up beyond the size limit.
    void collect(QNetworkReply* reply);
    void giveUp(QNetworkReply* reply, std::string why);
    void finish(QNetworkReply* reply);
    void showResult(const CheckResult& result);
    void scheduleAutomaticCheck(int delayMs);

    system::UserDefaults& defaults_;
    UpdateObserver& observer_;
    const std::string currentVersion_;
    const std::string builtInFeedURL_;
    std::unique_ptr<QNetworkAccessManager> network_;
    Limits limits_;
    QPointer<QNetworkReply> reply_;
    QByteArray body_;
    std::string failure_;  // why the transfer in flight was given up
    QTimer deadline_;
    std::vector<std::function<void(const CheckResult&)>> waiting_;
    QTimer automaticTimer_;
    QPointer<QWidget> window_;
};

}  // namespace tobble::shell
