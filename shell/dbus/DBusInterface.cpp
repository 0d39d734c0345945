#include "shell/dbus/DBusInterface.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QPointer>
#include <cmath>
#include <string_view>

#include "engine/TAKEngine.h"
#include "engine/core/Identity.h"
#include "engine/core/TAKCoreAudio.h"
#include "engine/pipeline/TAKRMSBuffer.h"
#include "services/TobbleAudioService.h"
#include "services/VolumeStore.h"
#include "shell/dbus/InterfaceXml.h"

namespace tobble::shell {

namespace {

constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* kIntrospectableInterface = "org.freedesktop.DBus.Introspectable";
// The standard interfaces a virtual object answers for itself.
constexpr const char* kStandardInterfaces =
    R"xml(  <interface name="org.freedesktop.DBus.Introspectable">
    <method name="Introspect"><arg name="xml_data" type="s" direction="out"/></method>
  </interface>
  <interface name="org.freedesktop.DBus.Properties">
    <method name="Get">
      <arg name="interface_name" type="s" direction="in"/>
      <arg name="property_name" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="Set">
      <arg name="interface_name" type="s" direction="in"/>
      <arg name="property_name" type="s" direction="in"/>
      <arg name="value" type="v" direction="in"/>
    </method>
    <method name="GetAll">
      <arg name="interface_name" type="s" direction="in"/>
      <arg name="values" type="a{sv}" direction="out"/>
    </method>
    <signal name="PropertiesChanged">
      <arg name="interface_name" type="s"/>
      <arg name="changed_properties" type="a{sv}"/>
      <arg name="invalidated_properties" type="as"/>
    </signal>
  </interface>
)xml";
constexpr const char* kUnknownMethod = "org.freedesktop.DBus.Error.UnknownMethod";
constexpr const char* kUnknownInterface = "org.freedesktop.DBus.Error.UnknownInterface";
constexpr const char* kUnknownProperty = "org.freedesktop.DBus.Error.UnknownProperty";
constexpr const char* kPropertyReadOnly = "org.freedesktop.DBus.Error.PropertyReadOnly";

QString transportName(uint32_t transport) {
    switch (transport) {
        case audio::kAudioDeviceTransportTypeBuiltIn:
            return QStringLiteral("builtin");
        case audio::kAudioDeviceTransportTypePCI:
            return QStringLiteral("pci");
        case audio::kAudioDeviceTransportTypeUSB:
            return QStringLiteral("usb");
        case audio::kAudioDeviceTransportTypeBluetooth:
        case audio::kAudioDeviceTransportTypeBluetoothLE:
            return QStringLiteral("bluetooth");
        case audio::kAudioDeviceTransportTypeHDMI:
            return QStringLiteral("hdmi");
        case audio::kAudioDeviceTransportTypeDisplayPort:
            return QStringLiteral("displayport");
        case audio::kAudioDeviceTransportTypeAirPlay:
            return QStringLiteral("airplay");
        case audio::kAudioDeviceTransportTypeThunderbolt:
            return QStringLiteral("thunderbolt");
        case audio::kAudioDeviceTransportTypeVirtual:
            return QStringLiteral("virtual");
        default:
            return QStringLiteral("unknown");
    }
}

// The audio side keeps floats; a script should read back 0.3, not 0.30000001192092896.
double tidy(float value) { return std::round(double(value) * 1e6) / 1e6; }

bool isFraction(double value, double limit = 1.0) {
    return std::isfinite(value) && value >= 0.0 && value <= limit;
}

std::string quoted(const QString& text) {
    // Hostile input can be huge: an error message repeats only its start.
    constexpr qsizetype kShown = 64;
    const QString shown = text.size() > kShown ? text.left(kShown) + QStringLiteral("…") : text;
    return "\"" + shown.toStdString() + "\"";
}

}  // namespace

struct DBusInterface::Reply {
    QList<QVariant> arguments;
    QString errorName;
    QString errorMessage;

    static Reply ok(QList<QVariant> arguments = {}) { return {std::move(arguments), {}, {}}; }
    static Reply error(const char* name, const std::string& message) {
        return {{}, QString::fromLatin1(name), QString::fromStdString(message)};
    }
    bool isError() const { return !errorName.isEmpty(); }
};

QString DBusInterface::introspectionDocument() { return QString::fromUtf8(kInterfaceXml); }

DBusInterface::DBusInterface(Dependencies dependencies)
    : deps_(std::move(dependencies)), logger_(engine::logSubsystem(), "DBus") {
    qDBusRegisterMetaType<QList<QVariantMap>>();
    rowsObservation_ = deps_.viewModel.observe({
        .clientsChanged = [this](const auto&) { applicationsChanged(); },
        .levelsChanged = nullptr,
        .panelOpenChanged = nullptr,
    });
    // The store reports on the thread that changed it; only the main thread changes it.
    hiddenObservation_ = deps_.hiddenApps.observe([this](const auto&) { applicationsChanged(); });
    announced_ = properties();
    deps_.audioService.setSystemVolumeObserver(
        [this, alive = std::weak_ptr<bool>(alive_)](float, bool) {
            if (const auto isAlive = alive.lock(); isAlive && *isAlive) announceChangedProperties();
        });
}

DBusInterface::~DBusInterface() {
    *alive_ = false;
    deps_.audioService.setSystemVolumeObserver(nullptr);
    rowsObservation_.reset();
    hiddenObservation_.reset();
    if (connection_.isConnected()) connection_.unregisterObject(QString::fromLatin1(kBusPath));
}

bool DBusInterface::publish(QDBusConnection connection) {
    connection_ = connection;
    if (!connection.registerVirtualObject(QString::fromLatin1(kBusPath), this)) {
        logger_.error("D-Bus object " + std::string(kBusPath) +
                      " could not be exported: " + connection.lastError().message().toStdString());
        return false;
    }
    if (!connection.registerService(QString::fromLatin1(kBusName))) {
        logger_.error("D-Bus name " + std::string(kBusName) +
                      " could not be taken: " + connection.lastError().message().toStdString());
        return false;
    }
    logger_.info("scripting on the session bus: " + std::string(kBusName));
    return true;
}

void DBusInterface::panelVisibilityChanged(bool) {
    // The settings inside the panel may have changed the default volume meanwhile.
    announceChangedProperties();
}

QString DBusInterface::introspect(const QString&) const {
    // Qt adds the standard interfaces and wraps the result in its own <node>.
    const QString document = introspectionDocument();
    const auto begin = document.indexOf(QLatin1String("<interface"));
    const QLatin1String close("</interface>");
    const auto end = document.lastIndexOf(close);
    return begin < 0 || end < 0 ? QString() : document.mid(begin, end + close.size() - begin);
}

bool DBusInterface::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    if (message.type() != QDBusMessage::MethodCallMessage) return false;
    const QString interfaceName = message.interface();
    Reply reply;
    if (interfaceName == QLatin1String(kPropertiesInterface)) {
        reply = callProperties(message);
    } else if (interfaceName == QLatin1String(kIntrospectableInterface)) {
        if (message.member() != QLatin1String("Introspect")) return false;
        const QString document = QStringLiteral("<node>\n") +
                                 QString::fromLatin1(kStandardInterfaces) +
                                 introspect(message.path()) + QStringLiteral("\n</node>\n");
        reply = Reply::ok({document});
    } else {
        reply = call(message);
    }
    if (message.isReplyRequired()) {
        connection.send(reply.isError()
                            ? message.createErrorReply(reply.errorName, reply.errorMessage)
                            : message.createReply(reply.arguments));
    }
    return true;
}

DBusInterface::Reply DBusInterface::call(const QDBusMessage& message) {
    if (!message.interface().isEmpty() && message.interface() != QLatin1String(kBusInterface)) {
        return Reply::error(kUnknownInterface, "no interface " + message.interface().toStdString());
    }
    struct Method {
        const char* name;
        const char* signature;
    };
    static constexpr Method kMethods[] = {
        {"ListApplications", ""},
        {"SetVolume", "sd"},
        {"SetMuted", "sb"},
        {"ToggleMuted", "s"},
        {"SetHidden", "sb"},
        {"ListOutputs", ""},
        {"SetDefaultOutput", "s"},
        {"ShowPanel", ""},
        {"HidePanel", ""},
        {"TogglePanel", ""},
        {"SetApplicationOutput", "ss"},
    };
    const QString member = message.member();
    const Method* method = nullptr;
    for (const auto& m : kMethods) {
        if (member == QLatin1String(m.name)) method = &m;
    }
    if (!method) return Reply::error(kUnknownMethod, "no method " + member.toStdString());
    if (message.signature() != QLatin1String(method->signature)) {
        return Reply::error(kErrorInvalidArgument, member.toStdString() + " takes (" +
                                                       method->signature + "), not (" +
                                                       message.signature().toStdString() + ")");
    }
    const QList<QVariant> args = message.arguments();
    const std::string_view name = method->name;
    if (name == "ListApplications") return listApplications();
    if (name == "ListOutputs") return listOutputs();
    if (name == "SetVolume") return setVolume(args[0].toString(), args[1].toDouble());
    if (name == "SetMuted") return setMuted(args[0].toString(), args[1].toBool(), false);
    if (name == "ToggleMuted") return setMuted(args[0].toString(), false, true);
    if (name == "SetHidden") return setHidden(args[0].toString(), args[1].toBool());
    if (name == "SetDefaultOutput") return setDefaultOutput(args[0].toString());
    if (name == "SetApplicationOutput") {
        return setApplicationOutput(args[0].toString(), args[1].toString());
    }
    if (name == "ShowPanel" && deps_.panel.show) deps_.panel.show();
    if (name == "HidePanel" && deps_.panel.hide) deps_.panel.hide();
    if (name == "TogglePanel" && deps_.panel.toggle) deps_.panel.toggle();
    return Reply::ok();
}

DBusInterface::Reply DBusInterface::callProperties(const QDBusMessage& message) {
    const QString member = message.member();
    const QString signature = message.signature();
    const QList<QVariant> args = message.arguments();
    const bool known = (member == QLatin1String("Get") && signature == QLatin1String("ss")) ||
                       (member == QLatin1String("Set") && signature == QLatin1String("ssv")) ||
                       (member == QLatin1String("GetAll") && signature == QLatin1String("s"));
    if (!known) {
        return Reply::error(kUnknownMethod, "no method " + member.toStdString() + "(" +
                                                signature.toStdString() + ") in " +
                                                kPropertiesInterface);
    }
    if (args[0].toString() != QLatin1String(kBusInterface)) {
        return Reply::error(kUnknownInterface, "no interface " + quoted(args[0].toString()));
    }
    if (member == QLatin1String("GetAll")) return Reply::ok({properties()});
    const QString name = args[1].toString();
    const QVariantMap all = properties();
    if (!all.contains(name)) {
        return Reply::error(kUnknownProperty, "no property " + quoted(name));
    }
    if (member == QLatin1String("Get")) {
        return Reply::ok({QVariant::fromValue(QDBusVariant(all.value(name)))});
    }
    return setProperty(name, qvariant_cast<QDBusVariant>(args[2]).variant());
}

QVariantMap DBusInterface::properties() {
    return {
        {QStringLiteral("SystemVolume"), tidy(deps_.audioService.getSystemVolume())},
        {QStringLiteral("SystemMuted"), deps_.audioService.getSystemMute()},
        {QStringLiteral("DefaultVolume"), deps_.volumeStore.defaultVolume()},
        {QStringLiteral("MaximumVolume"), double{deps_.viewModel.volumeLimit()}},
        {QStringLiteral("PanelVisible"), deps_.panel.isVisible && deps_.panel.isVisible()},
        {QStringLiteral("Version"), QString::fromStdString(deps_.version)},
    };
}

DBusInterface::Reply DBusInterface::setProperty(const QString& name, const QVariant& value) {
    const bool isVolume =
        name == QLatin1String("SystemVolume") || name == QLatin1String("DefaultVolume");
    const bool isMute = name == QLatin1String("SystemMuted");
    if (!isVolume && !isMute) {
        return Reply::error(kPropertyReadOnly, name.toStdString() + " is read-only");
    }
    const auto wanted = isVolume ? QMetaType::Double : QMetaType::Bool;
    if (value.metaType().id() != wanted) {
        return Reply::error(kErrorInvalidArgument, name.toStdString() + " takes " +
                                                       (isVolume ? "a double" : "a boolean") +
                                                       ", not " + value.metaType().name());
    }
    if (isVolume && !isFraction(value.toDouble())) {
        return Reply::error(kErrorInvalidArgument,
                            name.toStdString() + " must be a number from 0 to 1, not " +
                                QString::number(value.toDouble()).toStdString());
    }
    if (name == QLatin1String("DefaultVolume")) {
        deps_.volumeStore.setDefaultVolume(value.toDouble());
    } else if (isVolume) {
        if (!deps_.audioService.setSystemVolume(static_cast<float>(value.toDouble()))) {
            return Reply::error(kErrorFailed,
                                "the audio system refused the system volume (no default output, "
                                "or its volume cannot be written)");
        }
    } else if (!deps_.audioService.setSystemMute(value.toBool())) {
        return Reply::error(kErrorFailed,
                            "the audio system refused the system mute (no default output, or its "
                            "mute cannot be written)");
    }
    announceChangedProperties();
    return Reply::ok();
}

// ---- applications

const app::AudioClientViewModel::AppClient* DBusInterface::findRow(const std::string& id) const {
    for (const auto& row : deps_.viewModel.clients()) {
        if (row.bundleID == id) return &row;
    }
    return nullptr;
}

namespace {

// The id argument, checked; an error message when it is not acceptable.
std::optional<std::string> badId(const QString& id, const char* what) {
    if (id.isEmpty()) return std::string("empty ") + what;
    if (static_cast<size_t>(id.toUtf8().size()) > DBusInterface::kMaxArgumentBytes) {
        return std::string(what) + " longer than " +
               std::to_string(DBusInterface::kMaxArgumentBytes) + " bytes";
    }
    return std::nullopt;
}

}  // namespace

DBusInterface::Reply DBusInterface::listApplications() {
    QList<QVariantMap> rows;
    const auto& levels = deps_.engine.rmsBuffer();
    for (const auto& row : deps_.viewModel.clients()) {
        rows.push_back({
            {QStringLiteral("id"), QString::fromStdString(row.bundleID)},
            {QStringLiteral("name"), QString::fromStdString(row.name)},
            {QStringLiteral("pids"), QVariant::fromValue(QList<uint>{static_cast<uint>(row.pid)})},
            {QStringLiteral("volume"), tidy(row.volume)},
            {QStringLiteral("muted"), row.isMuted},
            {QStringLiteral("hidden"), deps_.hiddenApps.isHidden(row.bundleID)},
            {QStringLiteral("playing"), levels.isAudible(row.slot)},
            {QStringLiteral("level"), tidy(levels.level(row.slot))},
            {QStringLiteral("output"), QString::fromStdString(row.output)},
        });
    }
    return Reply::ok({QVariant::fromValue(rows)});
}

DBusInterface::Reply DBusInterface::setVolume(const QString& app, double volume) {
    if (auto bad = badId(app, "application id")) return Reply::error(kErrorInvalidArgument, *bad);
    const double limit = deps_.viewModel.volumeLimit();
    if (!isFraction(volume, limit)) {
        return Reply::error(kErrorInvalidArgument,
                            "volume must be a number from 0 to " +
                                QString::number(limit).toStdString() +
                                (limit > 1.0 ? "" : " (volume above 100% is off in the settings)") +
                                ", not " + QString::number(volume).toStdString());
    }
    const auto* row = findRow(app.toStdString());
    if (!row) return Reply::error(kErrorNoSuchApplication, "no application " + quoted(app));
    deps_.viewModel.sendVolumeChange(row->id, row->slot, row->generation,
                                     static_cast<float>(volume));
    return Reply::ok();
}

DBusInterface::Reply DBusInterface::setMuted(const QString& app, bool muted, bool toggle) {
    if (auto bad = badId(app, "application id")) return Reply::error(kErrorInvalidArgument, *bad);
    const auto* row = findRow(app.toStdString());
    if (!row) return Reply::error(kErrorNoSuchApplication, "no application " + quoted(app));
    const uint32_t id = row->id;
    if (toggle || row->isMuted != muted) deps_.viewModel.toggleMute(id);
    const auto* after = deps_.viewModel.client(id);
    return toggle ? Reply::ok({after && after->isMuted}) : Reply::ok();
}

DBusInterface::Reply DBusInterface::setHidden(const QString& app, bool hidden) {
    if (auto bad = badId(app, "application id")) return Reply::error(kErrorInvalidArgument, *bad);
    const std::string id = app.toStdString();
    const auto* row = findRow(id);
    // A hidden application that is not playing can still be shown again.
    if (!row && !(deps_.hiddenApps.isHidden(id) && !hidden)) {
        return Reply::error(kErrorNoSuchApplication, "no application " + quoted(app));
    }
    if (hidden == deps_.hiddenApps.isHidden(id)) return Reply::ok();
    if (hidden) {
        deps_.hiddenApps.hide(id, row->name);
    } else {
        deps_.hiddenApps.unhide(id);
    }
    if (!deps_.hiddenApps.persist()) {
        return Reply::error(kErrorFailed, "the hidden apps could not be saved");
    }
    return Reply::ok();
}

// ---- outputs

DBusInterface::Reply DBusInterface::listOutputs() {
    auto& hardware = deps_.environment.audio;
    engine::TAKCoreAudio core(hardware);
    const std::optional<audio::AudioObjectID> current = core.defaultOutputDevice();
    QList<QVariantMap> outputs;
    for (const auto& device : deps_.audioService.getOutputDevices()) {
        const uint32_t transport =
            core.readProperty<uint32_t>(device.id, audio::kAudioDevicePropertyTransportType)
                .value_or(audio::kAudioDeviceTransportTypeUnknown);
        outputs.push_back({
            {QStringLiteral("uid"), QString::fromStdString(device.uid)},
            {QStringLiteral("name"), QString::fromStdString(device.name)},
            {QStringLiteral("transport"), transportName(transport)},
            {QStringLiteral("default"), current == device.id},
        });
    }
    return Reply::ok({QVariant::fromValue(outputs)});
}

DBusInterface::Reply DBusInterface::setDefaultOutput(const QString& uid) {
    if (auto bad = badId(uid, "output uid")) return Reply::error(kErrorInvalidArgument, *bad);
    const auto devices = deps_.audioService.getOutputDevices();
    const auto device = std::find_if(devices.begin(), devices.end(),
                                     [&](const auto& d) { return d.uid == uid.toStdString(); });
    if (device == devices.end()) {
        return Reply::error(kErrorNoSuchOutput, "no output device " + quoted(uid));
    }
    const audio::AudioObjectID id = device->id;
    const audio::OSStatus status = deps_.environment.audio.setPropertyData(
        audio::kAudioObjectSystemObject,
        {audio::kAudioHardwarePropertyDefaultOutputDevice, audio::kAudioObjectPropertyScopeGlobal,
         audio::kAudioObjectPropertyElementMain},
        sizeof(id), &id);
    if (status != audio::kAudioHardwareNoError) {
        return Reply::error(kErrorFailed, "the audio system refused " + device->uid +
                                              " as the default output: status " +
                                              std::to_string(status));
    }
    return Reply::ok();
}

DBusInterface::Reply DBusInterface::setApplicationOutput(const QString& app, const QString& uid) {
    if (auto bad = badId(app, "application id")) return Reply::error(kErrorInvalidArgument, *bad);
    // An empty uid sends the application back to the default output.
    if (!uid.isEmpty()) {
        if (auto bad = badId(uid, "output uid")) return Reply::error(kErrorInvalidArgument, *bad);
        const auto devices = deps_.audioService.getOutputDevices();
        if (std::none_of(devices.begin(), devices.end(),
                         [&](const auto& d) { return d.uid == uid.toStdString(); })) {
            return Reply::error(kErrorNoSuchOutput, "no output device " + quoted(uid));
        }
    }
    const auto* row = findRow(app.toStdString());
    if (!row) return Reply::error(kErrorNoSuchApplication, "no application " + quoted(app));
    if (!deps_.viewModel.setOutput(row->id, uid.toStdString())) {
        return Reply::error(kErrorFailed, "the output of " + quoted(app) +
                                              " could not be saved (an application without an "
                                              "identity of its own, or unwritable settings)");
    }
    return Reply::ok();
}

// ---- signals

void DBusInterface::applicationsChanged() {
    if (changeSignalHeld_) {
        changeSignalPending_ = true;
        return;
    }
    sendApplicationsChanged();
}

void DBusInterface::sendApplicationsChanged() {
    changeSignalHeld_ = true;
    changeSignalPending_ = false;
    if (connection_.isConnected()) {
        connection_.send(QDBusMessage::createSignal(QString::fromLatin1(kBusPath),
                                                    QString::fromLatin1(kBusInterface),
                                                    QStringLiteral("ApplicationsChanged")));
    }
    deps_.environment.dispatcher.mainQueue().asyncAfter(
        kChangeSignalInterval, [this, alive = std::weak_ptr<bool>(alive_)] {
            const auto isAlive = alive.lock();
            if (!isAlive || !*isAlive) return;
            changeSignalHeld_ = false;
            if (changeSignalPending_) sendApplicationsChanged();
        });
}

void DBusInterface::announceChangedProperties() {
    QVariantMap changed;
    const QVariantMap now = properties();
    for (auto it = now.begin(); it != now.end(); ++it) {
        if (announced_.value(it.key()) != it.value()) changed.insert(it.key(), it.value());
    }
    announced_ = now;
    if (!changed.isEmpty()) sendPropertiesChanged(changed);
}

void DBusInterface::sendPropertiesChanged(const QVariantMap& changed) {
    if (!connection_.isConnected()) return;
    auto signal = QDBusMessage::createSignal(QString::fromLatin1(kBusPath),
                                             QString::fromLatin1(kPropertiesInterface),
                                             QStringLiteral("PropertiesChanged"));
    signal << QString::fromLatin1(kBusInterface) << changed << QStringList();
    connection_.send(signal);
}

// ---- the session bus

void publishOnSessionBus(DBusInterface& interface) {
    const log::Logger logger(engine::logSubsystem(), "DBus");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        logger.info("no D-Bus session bus (" + bus.lastError().message().toStdString() +
                    "): scripting is off");
        return;
    }
    interface.publish(bus);
}

bool showPanelOfRunningInstance() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    const auto call =
        QDBusMessage::createMethodCall(QString::fromLatin1(kBusName), QString::fromLatin1(kBusPath),
                                       QString::fromLatin1(kBusInterface), "ShowPanel");
    constexpr int kTimeoutMs = 3000;
    return bus.call(call, QDBus::Block, kTimeoutMs).type() == QDBusMessage::ReplyMessage;
}

}  // namespace tobble::shell
