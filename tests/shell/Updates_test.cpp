// Update checks: the appcast feed, the updater over a local HTTP server, and the observer that
// keeps the updater's windows above the panel.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include "shell/Appcast.h"
#include "shell/AppcastUpdater.h"
#include "shell/TobblePanel.h"
#include "shell/UpdateObserver.h"
#include "tests/shell/ShellTestBed.h"
#include "tests/support/Eventually.h"

namespace tobble::shell {
namespace {

TEST(CompareVersions, NumbersCompareAsNumbersBothWays) {
    const auto sign = [](int value) { return (value > 0) - (value < 0); };
    for (const auto& [a, b, order] :
         std::initializer_list<std::tuple<const char*, const char*, int>>{
             {"1.10", "1.9", 1},
             {"2.0", "2", 0},
             {"2.0.0", "2", 0},
             {"1.2.1", "1.2", 1},
             {"1.2b1", "1.2", -1},  // a pre-release sorts before its release
             {"1.2.1", "1.2b1", 1},
             {"1.2a", "1.2b", -1},
             {"99999999999999999999999", "99999999999999999999998", 0},  // saturates, never wraps
         }) {
        EXPECT_EQ(sign(compareVersions(a, b)), order) << a << " vs " << b;
        EXPECT_EQ(sign(compareVersions(b, a)), -order) << b << " vs " << a;
    }
}

constexpr const char* kFeed = R"FEED(<?xml version="1.0"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
  <channel>
    <title>Tobble</title>
    <item>
      <title>Tobble 0.9</title>
      <sparkle:version>0.9</sparkle:version>
      <link>https://example.org/tobble/0.9</link>
    </item>
    <item>
      <title>Tobble 0.10</title>
      <enclosure url="https://example.org/tobble-0.10.tar.gz" sparkle:version="0.10"
                 sparkle:shortVersionString="0.10 (beta-free)"/>
    </item>
    <item><title>No version</title><link>https://example.org/x</link></item>
  </channel>
</rss>)FEED";

TEST(ParseAppcast, ReadsVersionsFromElementsAndEnclosures) {
    const auto result = parseAppcast(kFeed);
    ASSERT_TRUE(result.error.empty()) << result.error;
    ASSERT_EQ(result.items.size(), 2u) << "an item without a version is left out";
    EXPECT_EQ(result.items[0].version, "0.9");
    EXPECT_EQ(result.items[0].downloadURL, "https://example.org/tobble/0.9");
    EXPECT_EQ(result.items[1].version, "0.10");
    EXPECT_EQ(result.items[1].displayVersion, "0.10 (beta-free)");
    EXPECT_EQ(result.items[1].downloadURL, "https://example.org/tobble-0.10.tar.gz");
}

TEST(ParseAppcast, RejectsWhatIsNotAFeed) {
    EXPECT_FALSE(parseAppcast("<rss><channel><item>").error.empty());
    EXPECT_FALSE(parseAppcast("{\"version\": \"9\"}").error.empty());
    EXPECT_FALSE(parseAppcast("<html><body>hi</body></html>").error.empty());
    EXPECT_TRUE(parseAppcast("<rss version=\"2.0\"><channel/></rss>").items.empty());
}

// A one-answer HTTP server on 127.0.0.1.
class FeedServer {
  public:
    explicit FeedServer(QByteArray status, QByteArray body)
        : status_(std::move(status)), body_(std::move(body)) {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            QTcpSocket* socket = server_.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                request_ += socket->readAll();
                if (!request_.contains("\r\n\r\n")) return;
                socket->write("HTTP/1.1 " + status_ + "\r\nContent-Type: application/rss+xml\r\n" +
                              "Content-Length: " + QByteArray::number(body_.size()) +
                              "\r\nConnection: close\r\n\r\n" + body_);
                socket->disconnectFromHost();
            });
        });
    }
    std::string url() const {
        return "http://127.0.0.1:" + std::to_string(server_.serverPort()) + "/appcast.xml";
    }

  private:
    QTcpServer server_;
    QByteArray status_;
    QByteArray body_;
    QByteArray request_;
};

class AppcastUpdaterTest : public ::testing::Test {
  protected:
    AppcastUpdater::CheckResult checkAgainst(const std::string& url) {
        defaults.setString(AppcastUpdater::kFeedURLKey, url);
        std::optional<AppcastUpdater::CheckResult> result;
        QEventLoop loop;
        updater.check([&](const AppcastUpdater::CheckResult& r) {
            result = r;
            loop.quit();
        });
        QTimer::singleShot(15000, &loop, &QEventLoop::quit);
        if (!result) loop.exec();
        dispatcher.runDue();  // the observer's flag is set on the main queue
        return result.value_or(AppcastUpdater::CheckResult{});
    }

    QApplication& application = testing::ensureApplication();
    dispatch::VirtualDispatcher dispatcher;
    system::InMemoryUserDefaults defaults;
    UpdateObserver observer{dispatcher.mainQueuePtr()};
    AppcastUpdater updater{defaults, observer, "0.9.5", "https://invalid.example/appcast.xml"};
};

// Checks in turn against a feed server: a failed check leaves the flag as it was; only a feed
// that names no newer version clears it.
TEST_F(AppcastUpdaterTest, ChecksReportTheirOutcomeAndOnlyAReadableFeedMovesTheFlag) {
    using Outcome = AppcastUpdater::Outcome;
    const QByteArray current = R"(<rss version="2.0"><channel><item><title>t</title>
        <link>https://example.org/</link><sparkle:version
        xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">0.9.5</sparkle:version>
        </item></channel></rss>)";
    struct Step {
        QByteArray status;
        QByteArray body;
        Outcome outcome;
        bool flagged;
    };
    for (const Step& step : std::initializer_list<Step>{
             {"200 OK", kFeed, Outcome::Found, true},
             {"200 OK", "<rss><channel><item>", Outcome::Failed, true},
             {"404 Not Found", "nope", Outcome::Failed, true},
             {"", "", Outcome::Failed, true},  // the server is gone: nobody listens on its port
             {"200 OK", current, Outcome::NotFound, false},
         }) {
        std::optional<FeedServer> server(std::in_place, step.status, step.body);
        const std::string url = server->url();
        if (step.status.isEmpty()) server.reset();
        const auto result = checkAgainst(url);
        EXPECT_EQ(result.outcome, step.outcome) << step.status.data() << " " << result.error;
        if (result.update) {
            EXPECT_EQ(result.update->version, "0.10");  // the newest, not the first
        }
        EXPECT_EQ(result.error.empty(), step.outcome != Outcome::Failed) << result.error;
        EXPECT_EQ(updater.updateAvailable(), step.flagged) << step.body.data();
    }
}

TEST_F(AppcastUpdaterTest, AutomaticChecksSettingIsTheFrameworkKey) {
    defaults.registerDefaults({{"SUEnableAutomaticChecks", true}});
    EXPECT_TRUE(updater.automaticChecks());
    updater.setAutomaticChecks(false);
    EXPECT_FALSE(defaults.boolean("SUEnableAutomaticChecks"));
}

TEST(UpdateObserverTest, FlagFollowsTheLastReportOnTheMainQueue) {
    dispatch::VirtualDispatcher dispatcher;
    UpdateObserver observer{dispatcher.mainQueuePtr()};
    std::vector<bool> seen;
    auto subscription = observer.observeUpdateAvailable([&](bool v) { seen.push_back(v); });
    observer.didFindValidUpdate();
    EXPECT_FALSE(observer.updateAvailable()) << "set on the main queue, not in the caller";
    dispatcher.runDue();
    EXPECT_TRUE(observer.updateAvailable());
    observer.didNotFindUpdate();
    dispatcher.runDue();
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));
}

// A user's check shows the updater's window, whether it found an update or could not look (no
// feed address); that window is lifted above the panel, other windows are not.
TEST_F(AppcastUpdaterTest, UserChecksShowAnUpdaterWindowLiftedAboveThePanel) {
    observer.startObservingWindows();
    FeedServer newer("200 OK", kFeed);
    AppcastUpdater feedless(defaults, observer, "1.0", "");
    using Check = std::pair<AppcastUpdater*, std::string>;
    for (const auto& [checked, url] : {Check{&updater, newer.url()}, Check{&feedless, ""}}) {
        defaults.setString(AppcastUpdater::kFeedURLKey, url);
        checked->checkForUpdates();
        ASSERT_TRUE(tobble::testing::eventually(
            [&] {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
                return checked->window() != nullptr;
            },
            std::chrono::seconds(15)));
        QWidget* window = checked->window();
        window->setWindowFlag(Qt::WindowStaysOnTopHint, false);
        QWidget plain;
        TobblePanel panel;
        for (QWidget* activated : {window, &plain, static_cast<QWidget*>(&panel)}) {
            QEvent event(QEvent::WindowActivate);
            QCoreApplication::sendEvent(activated, &event);
        }
        EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
        EXPECT_FALSE(plain.windowFlags() & Qt::WindowStaysOnTopHint);
        window->close();
    }
}

}  // namespace
}  // namespace tobble::shell
