// The updater against an update server that misbehaves: every check ends, as a failure, without
// the transfer growing beyond the feed limit.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <fstream>
#include <string>

#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/log/CaptureSink.h"
#include "platform/system/InMemoryUserDefaults.h"
#include "shell/AppcastUpdater.h"
#include "tests/shell/ShellTestBed.h"

namespace tobble::shell {
namespace {

enum class Misbehaviour { EndlessBody, Stall, EndlessHeader, HugeLength };

// Answers every request on 127.0.0.1 in one bad way, feeding the socket as fast as it drains.
class HostileServer {
  public:
    explicit HostileServer(Misbehaviour how) : how_(how) {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            QTcpSocket* socket = server_.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                if (!socket->readAll().contains("\r\n\r\n") || how_ == Misbehaviour::Stall) return;
                socket->write(how_ == Misbehaviour::HugeLength
                                  ? "HTTP/1.1 200 OK\r\nContent-Length: 10000000000\r\n\r\n"
                                  : "HTTP/1.1 200 OK\r\n");
                if (how_ == Misbehaviour::EndlessBody) socket->write("\r\n");
                feed(socket);
                QObject::connect(socket, &QTcpSocket::bytesWritten, socket,
                                 [this, socket] { feed(socket); });
            });
        });
    }
    std::string url() const {
        return "http://127.0.0.1:" + std::to_string(server_.serverPort()) + "/appcast.xml";
    }

  private:
    void feed(QTcpSocket* socket) {
        const QByteArray chunk = how_ == Misbehaviour::EndlessHeader
                                     ? "X-Filler: " + QByteArray(1000, 'a') + "\r\n"
                                     : QByteArray(64 * 1024, '<');
        while (socket->bytesToWrite() < 1024 * 1024) socket->write(chunk);
    }

    Misbehaviour how_;
    QTcpServer server_;
};

long residentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

class UpdaterLimitsTest : public ::testing::TestWithParam<Misbehaviour> {
  protected:
    QApplication& application = testing::ensureApplication();
    dispatch::VirtualDispatcher dispatcher;
    system::InMemoryUserDefaults defaults;
    UpdateObserver observer{dispatcher.mainQueuePtr()};
    AppcastUpdater updater{defaults, observer, "0.9.5", ""};
    log::ScopedCapture logs;
};

TEST_P(UpdaterLimitsTest, TheCheckFailsOnceWithinItsLimits) {
    HostileServer server(GetParam());
    defaults.setString(AppcastUpdater::kFeedURLKey, server.url());
    updater.setLimits({.maxFeedBytes = 256 * 1024, .stallMs = 300, .totalMs = 3000});
    const long before = residentKiB();

    std::optional<AppcastUpdater::CheckResult> result;
    QEventLoop loop;
    updater.check([&](const AppcastUpdater::CheckResult& r) {
        result = r;
        loop.quit();
    });
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);  // only if the limits do not hold
    loop.exec();

    ASSERT_TRUE(result) << "the check never ended";
    EXPECT_EQ(result->outcome, AppcastUpdater::Outcome::Failed);
    EXPECT_LT(residentKiB() - before, 64 * 1024) << "KiB grown";
    EXPECT_EQ(logs->count("Update check failed: "), 1u);
    EXPECT_FALSE(updater.isChecking());
}

INSTANTIATE_TEST_SUITE_P(Servers, UpdaterLimitsTest,
                         ::testing::Values(Misbehaviour::EndlessBody, Misbehaviour::Stall,
                                           Misbehaviour::EndlessHeader, Misbehaviour::HugeLength));

}  // namespace
}  // namespace tobble::shell
