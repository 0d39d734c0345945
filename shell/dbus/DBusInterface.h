#pragma once

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/Environment.h"
#include "platform/dispatch/Timer.h"
#include "platform/log/Log.h"
#include "services/AudioClientViewModel.h"
#include "services/HiddenAppsStore.h"

namespace tobble::engine {
class TAKEngine;
}
namespace tobble::app {
class TobbleAudioService;
class VolumeStore;
}  // namespace tobble::app

namespace tobble::shell {

inline constexpr const char* kBusName = "org.tobble.Tobble";
inline constexpr const char* kBusPath = "/org/tobble/Tobble";
inline constexpr const char* kBusInterface = "org.tobble.Tobble1";

// The panel as the tray item and the shortcut open and close it.
struct PanelControl {
    std::function<void()> show;
    std::function<void()> hide;
    std::function<void()> toggle;
    std::function<bool()> isVisible;
};

// The running app's door for scripts and key-binding daemons: org.tobble.Tobble1 on the
// session bus (dbus/org.tobble.Tobble1.xml). Every call goes through the services the panel
// uses, so saved volumes, hidden apps, the row identity checks and the write coalescing hold
// for it exactly as for a slider. Input is checked before it reaches any service; a bad call
// gets a named error and changes nothing.
//
// Main-thread object: Qt hands it the bus messages on the thread it lives on.
class DBusInterface final : public QDBusVirtualObject {
    Q_OBJECT
  public:
    struct Dependencies {
        Environment environment;  // main queue and the audio system (output devices)
        engine::TAKEngine& engine;
        app::AudioClientViewModel& viewModel;
        app::TobbleAudioService& audioService;
        app::HiddenAppsStore& hiddenApps;
        app::VolumeStore& volumeStore;
        PanelControl panel;
        std::string version;
    };

    static constexpr const char* kErrorNoSuchApplication =
        "org.tobble.Tobble1.Error.NoSuchApplication";
    static constexpr const char* kErrorNoSuchOutput = "org.tobble.Tobble1.Error.NoSuchOutput";
    static constexpr const char* kErrorInvalidArgument = "org.tobble.Tobble1.Error.InvalidArgument";
    static constexpr const char* kErrorFailed = "org.tobble.Tobble1.Error.Failed";
    // Ids and uids are short; anything longer is a mistake or an attack.
    static constexpr std::size_t kMaxArgumentBytes = 1024;
    // ApplicationsChanged is sent at most once per interval.
    static constexpr dispatch::Seconds kChangeSignalInterval = 0.1;

    explicit DBusInterface(Dependencies dependencies);
    ~DBusInterface() override;

    // Exports the object on `connection` and takes the well-known name. False (logged) when
    // either fails; the object stays exported for the bus it reached.
    bool publish(QDBusConnection connection);
    // The panel opened or closed.
    void panelVisibilityChanged(bool visible);

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

    // The interface's introspection data as installed (a whole <node> document).
    static QString introspectionDocument();

  private:
    struct Reply;

    Reply call(const QDBusMessage& message);
    Reply callProperties(const QDBusMessage& message);
    Reply listApplications();
    Reply listOutputs();
    Reply setVolume(const QString& app, double volume);
    Reply setMuted(const QString& app, bool muted, bool toggle);
    Reply setHidden(const QString& app, bool hidden);
    Reply setDefaultOutput(const QString& uid);
    Reply setApplicationOutput(const QString& app, const QString& uid);
    Reply setProperty(const QString& name, const QVariant& value);
    QVariantMap properties();

    const app::AudioClientViewModel::AppClient* findRow(const std::string& id) const;
    void applicationsChanged();
    void sendApplicationsChanged();
    void sendPropertiesChanged(const QVariantMap& changed);
    // Announces the properties that differ from what was last announced.
    void announceChangedProperties();

    Dependencies deps_;
    const log::Logger logger_;
    QDBusConnection connection_{QString()};
    app::AudioClientViewModel::Observation rowsObservation_;
    app::HiddenAppsStore::Observation hiddenObservation_;
    // Set while the change signal waits out its interval; pending when a change came meanwhile.
    bool changeSignalHeld_ = false;
    bool changeSignalPending_ = false;
    QVariantMap announced_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Connects to the session bus and publishes `interface` there. Without a session bus the app
// runs on and logs that scripting is off.
void publishOnSessionBus(DBusInterface& interface);

// For a second launch: asks the running instance to show its panel. False when no instance
// answers on the session bus.
bool showPanelOfRunningInstance();

}  // namespace tobble::shell
