// The scripting interface over the real engine and services on the simulated desktop (virtual
// time), called through a private session bus.

#include "shell/dbus/DBusInterface.h"

#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QThread>
#include <limits>

#include "services/DefaultsKeys.h"
#include "tests/services/ServicesTestBed.h"
#include "tests/shell/ShellTestBed.h"
#include "tests/support/PrivateSessionBus.h"
#include "ui/AppRowView.h"
#include "ui/ContentView.h"
#include "ui/FakeShell.h"

namespace tobble::shell {
namespace {

constexpr const char* kMusic = "com.example.Music";
constexpr const char* kChat = "com.example.Chat";

// Counts the signals the interface sends, as a client on the bus sees them.
class SignalCounter : public QObject {
    Q_OBJECT
  public:
    int applicationsChanged = 0;
    QVariantMap properties;

  public slots:
    void onApplicationsChanged() { ++applicationsChanged; }
    void onPropertiesChanged(const QString&, const QVariantMap& changed, const QStringList&) {
        properties.insert(changed);
    }
};

class DBusInterfaceTest : public ::testing::Test, public app::testing::ServicesTestBed {
  protected:
    void SetUp() override {
        testing::ensureApplication();
        ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
        const QString address = QString::fromStdString(bus.address());
        server = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, "s"));
        client = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, "c"));
        ASSERT_TRUE(server->isConnected() && client->isConnected());

        addSpeakers();
        audio.addDevice({.uid = "buds",
                         .name = "Buds",
                         .transportType = audio::kAudioDeviceTransportTypeBluetooth});
        launch(300, kMusic, "Music");
        launch(301, kChat, "Chat");
        engine->start();
        viewModel->start();
        advance(1.0);
        ASSERT_TRUE(row(kMusic) && row(kChat));

        interface = std::make_unique<DBusInterface>(DBusInterface::Dependencies{
            environment, *engine, *viewModel, *service, hiddenApps, volumeStore,
            PanelControl{[this] { setPanel(true); }, [this] { setPanel(false); },
                         [this] { setPanel(!panelVisible); }, [this] { return panelVisible; }},
            "1.2.3"});
        ASSERT_TRUE(interface->publish(*server));
        const QString path = QString::fromLatin1(kBusPath);
        client->connect(kBusName, path, kBusInterface, "ApplicationsChanged", &observed,
                        SLOT(onApplicationsChanged()));
        client->connect(kBusName, path, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                        &observed, SLOT(onPropertiesChanged(QString, QVariantMap, QStringList)));
    }
    void TearDown() override {
        interface.reset();
        QDBusConnection::disconnectFromBus("s");
        QDBusConnection::disconnectFromBus("c");
    }

    void setPanel(bool visible) {
        EXPECT_EQ(QThread::currentThread(), qApp->thread()) << "bus call off the main thread";
        panelVisible = visible;
        interface->panelVisibilityChanged(visible);
    }

    static QDBusMessage message(const char* interfaceName, const char* method,
                                const QList<QVariant>& args) {
        auto m = QDBusMessage::createMethodCall(kBusName, kBusPath, interfaceName, method);
        m.setArguments(args);
        return m;
    }
    // Waits for every reply while the Qt loop serves the interface in this same thread.
    std::vector<QDBusMessage> callAll(const std::vector<QDBusMessage>& messages) {
        std::vector<QDBusPendingCall> pending;
        for (const auto& m : messages) pending.push_back(client->asyncCall(m));
        QElapsedTimer clock;
        clock.start();
        const auto done = [&] {
            return std::all_of(pending.begin(), pending.end(),
                               [](const auto& p) { return p.isFinished(); });
        };
        while (!done() && clock.elapsed() < 60000) QCoreApplication::processEvents();
        std::vector<QDBusMessage> replies;
        for (const auto& p : pending) replies.push_back(p.reply());
        return replies;
    }
    QDBusMessage call(const char* method, const QList<QVariant>& args = {}) {
        return callAll({message(kBusInterface, method, args)}).front();
    }
    static QDBusMessage setMessage(const char* name, const QVariant& value) {
        return message("org.freedesktop.DBus.Properties", "Set",
                       {kBusInterface, name, QVariant::fromValue(QDBusVariant(value))});
    }
    QVariant property(const char* name) {
        const auto reply =
            callAll({message("org.freedesktop.DBus.Properties", "Get", {kBusInterface, name})});
        return qvariant_cast<QDBusVariant>(reply.front().arguments().value(0)).variant();
    }
    // Lets the coalesced writes land, then delivers the signals the bus carries meanwhile.
    void settle(double seconds = 0.2) {
        advance(seconds);
        for (int i = 0; i < 20; ++i) {
            QCoreApplication::processEvents();
            QThread::msleep(1);
        }
    }
    QVariantMap entry(const char* method, const char* key, const QString& value) {
        QList<QVariantMap> rows;
        call(method).arguments().value(0).value<QDBusArgument>() >> rows;
        for (const auto& r : rows) {
            if (r.value(key).toString() == value) return r;
        }
        return {};
    }

    tobble::testing::PrivateSessionBus bus;
    std::unique_ptr<QDBusConnection> server;
    std::unique_ptr<QDBusConnection> client;
    app::HiddenAppsStore hiddenApps{defaults};
    bool panelVisible = false;
    SignalCounter observed;
    std::unique_ptr<DBusInterface> interface;
};

// The panel is open throughout: what the bus changes, it shows.
TEST_F(DBusInterfaceTest, ChangesTakeThePanelsRouteToTheEngineTheStoresAndAnOpenPanel) {
    ui::FakeShell shell;
    ui::PanelContext context{environment, *viewModel, *service, hiddenApps, shell.hooks};
    ui::ContentView panel(context);
    panel.show();
    EXPECT_EQ(call("SetVolume", {kMusic, 0.25}).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(call("SetMuted", {kChat, false}).type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(call("ToggleMuted", {kChat}).arguments().value(0).toBool());
    const double from = now();
    settle();

    // Music alone reaches the speakers, at a quarter of its level.
    EXPECT_NEAR(audio.rms("speakers", 0, from + 0.1, now()), kSineRms * 0.25, 0.01);
    EXPECT_EQ(saved(kMusic), (app::VolumeStore::SavedState{0.25f, false}));
    EXPECT_EQ(saved(kChat), (app::VolumeStore::SavedState{1.0f, true}));
    EXPECT_FLOAT_EQ(panel.row(row(kMusic)->id)->client().volume, 0.25f);
    EXPECT_TRUE(panel.row(row(kChat)->id)->client().isMuted);
    const auto music = entry("ListApplications", "id", kMusic);
    EXPECT_EQ(music.value("name").toString(), "Music");
    EXPECT_DOUBLE_EQ(music.value("volume").toDouble(), 0.25);
    EXPECT_TRUE(music.value("playing").toBool());
    EXPECT_GE(observed.applicationsChanged, 1);

    EXPECT_EQ(call("SetHidden", {kMusic, true}).type(), QDBusMessage::ReplyMessage);
    settle();
    EXPECT_TRUE(app::HiddenAppsStore(defaults).isHidden(kMusic));  // persisted
    EXPECT_TRUE(entry("ListApplications", "id", kMusic).value("hidden").toBool());
    EXPECT_EQ(panel.row(row(kMusic)->id), nullptr);
}

TEST_F(DBusInterfaceTest, OutputsPropertiesAndThePanelAreAnnouncedHoweverTheyChange) {
    EXPECT_EQ(entry("ListOutputs", "uid", "buds").value("transport").toString(), "bluetooth");
    EXPECT_EQ(call("SetDefaultOutput", {"buds"}).type(), QDBusMessage::ReplyMessage);
    callAll({setMessage("SystemVolume", 0.4), setMessage("DefaultVolume", 0.6)});
    call("ShowPanel");
    settle();
    EXPECT_TRUE(entry("ListOutputs", "uid", "buds").value("default").toBool());
    EXPECT_NEAR(property("SystemVolume").toDouble(), 0.4, 1e-6);
    EXPECT_DOUBLE_EQ(volumeStore.defaultVolume(), 0.6);
    EXPECT_TRUE(property("PanelVisible").toBool());
    EXPECT_EQ(property("Version").toString(), "1.2.3");
    EXPECT_TRUE(observed.properties.value("PanelVisible").toBool());
    EXPECT_NEAR(observed.properties.value("SystemVolume").toDouble(), 0.4, 1e-6);

    // Made in the panel: the system volume at once, the default volume when the panel closes.
    service->setSystemVolume(0.7f);
    volumeStore.setDefaultVolume(0.2);
    call("TogglePanel");
    settle();
    EXPECT_NEAR(observed.properties.value("SystemVolume").toDouble(), 0.7, 1e-6);
    EXPECT_DOUBLE_EQ(observed.properties.value("DefaultVolume").toDouble(), 0.2);
    EXPECT_FALSE(observed.properties.value("PanelVisible").toBool());
}

TEST_F(DBusInterfaceTest, HostileInputGetsNamedErrorsAndChangesNothing) {
    settle();
    const auto rowsBefore = viewModel->clients();
    const auto documentBefore = defaults.object(app::kPerAppVolumesKey);
    const QString huge(1 << 20, QChar('x'));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::string invalid = DBusInterface::kErrorInvalidArgument;
    const std::pair<QDBusMessage, std::string> cases[] = {
        {message(kBusInterface, "SetVolume", {kMusic, nan}), invalid},
        {message(kBusInterface, "SetVolume", {kMusic, 1e308}), invalid},
        {message(kBusInterface, "SetVolume", {kMusic, -0.1}), invalid},
        {message(kBusInterface, "SetVolume", {kMusic, 1.5}), invalid},  // boost is off
        {message(kBusInterface, "SetVolume", {kMusic, "loud"}), invalid},
        {message(kBusInterface, "SetVolume", {"", 0.5}), invalid},
        {message(kBusInterface, "SetVolume", {huge, 0.5}), invalid},
        {message(kBusInterface, "SetMuted", {"pid:9", true}),
         DBusInterface::kErrorNoSuchApplication},
        {message(kBusInterface, "SetHidden", {"x.y", true}),
         DBusInterface::kErrorNoSuchApplication},
        {message(kBusInterface, "SetDefaultOutput", {"nowhere"}),
         DBusInterface::kErrorNoSuchOutput},
        {message(kBusInterface, "SetApplicationOutput", {kMusic, "nowhere"}),
         DBusInterface::kErrorNoSuchOutput},
        {message(kBusInterface, "SetApplicationOutput", {"", "buds"}), invalid},
        {setMessage("SystemVolume", nan), invalid},
        {setMessage("DefaultVolume", 1e308), invalid},
        {setMessage("SystemMuted", huge), invalid},
        {setMessage("Version", "9"), "org.freedesktop.DBus.Error.PropertyReadOnly"},
    };
    for (const auto& [call, error] : cases) {
        const auto reply = callAll({call}).front();
        EXPECT_EQ(reply.errorName().toStdString(), error) << call.member().toStdString();
        EXPECT_LT(reply.errorMessage().size(), 300);
    }
    settle();
    EXPECT_EQ(viewModel->clients(), rowsBefore);
    EXPECT_EQ(defaults.object(app::kPerAppVolumesKey), documentBefore);
    EXPECT_TRUE(hiddenApps.hiddenApps().empty());
    EXPECT_DOUBLE_EQ(volumeStore.defaultVolume(), 1.0);
}

TEST_F(DBusInterfaceTest, AnApplicationSentToAnOutputPlaysThereAloneUntilSentBack) {
    settle();
    EXPECT_EQ(call("SetApplicationOutput", {kMusic, "buds"}).type(), QDBusMessage::ReplyMessage);
    settle(1.2);
    EXPECT_EQ(entry("ListApplications", "id", kMusic).value("output").toString(), "buds");
    EXPECT_EQ(entry("ListApplications", "id", kChat).value("output").toString(), "");
    EXPECT_NEAR(levelOn("buds"), kSineRms, 0.01);
    EXPECT_NEAR(levelOn("speakers"), kSineRms, 0.01);  // Chat alone
    EXPECT_EQ(app::OutputPinStore(defaults).pinnedOutput(kMusic), "buds");

    EXPECT_EQ(call("SetApplicationOutput", {kMusic, ""}).type(), QDBusMessage::ReplyMessage);
    settle(1.2);
    EXPECT_NEAR(levelOn("buds"), 0.0, 1e-6);
    EXPECT_EQ(app::OutputPinStore(defaults).pinnedOutput(kMusic), std::nullopt);
}

TEST_F(DBusInterfaceTest, VolumesUpToTwiceAreTakenOnlyWhileTheSettingsAllowThem) {
    viewModel->setVolumeBoostAllowed(true);
    EXPECT_DOUBLE_EQ(property("MaximumVolume").toDouble(), 2.0);
    EXPECT_EQ(call("SetVolume", {kMusic, 1.5}).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(call("SetVolume", {kChat, 2.01}).errorName(), DBusInterface::kErrorInvalidArgument);
    settle();
    EXPECT_DOUBLE_EQ(entry("ListApplications", "id", kMusic).value("volume").toDouble(), 1.5);
    EXPECT_FLOAT_EQ(volumeState.volume(row(kMusic)->slot), 1.5f);
    EXPECT_EQ(saved(kMusic), (app::VolumeStore::SavedState{1.5f, false}));
}

TEST_F(DBusInterfaceTest, TenThousandVolumesInASecondAreCoalescedAndSaveTheLast) {
    settle();
    const int signalsBefore = observed.applicationsChanged;
    // A hundred batches of a hundred calls, 10 ms of virtual time apart.
    for (int batch = 0; batch < 100; ++batch) {
        std::vector<QDBusMessage> calls;
        for (int i = 1; i <= 100; ++i) {
            calls.push_back(message(kBusInterface, "SetVolume", {kMusic, (batch * 100 + i) / 2e4}));
        }
        for (const auto& reply : callAll(calls))
            ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage);
        advance(0.01);
    }
    settle();
    EXPECT_EQ(saved(kMusic), (app::VolumeStore::SavedState{0.5f, false}));
    EXPECT_NEAR(volumeState.volume(row(kMusic)->slot), 0.5f, 1e-6);
    const int sent = observed.applicationsChanged - signalsBefore;
    EXPECT_GE(sent, 2);
    EXPECT_LE(sent, 12);  // ten a second, and the one after the last change
}

}  // namespace
}  // namespace tobble::shell

#include "DBusInterface_test.moc"
