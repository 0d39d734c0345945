#include "shell/PortalShortcutGrab.h"

#include <QDBusArgument>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <atomic>

#include "engine/core/Identity.h"
#include "platform/log/Log.h"

namespace tobble::shell::portal {

// One shortcut as the portal's BindShortcuts takes it: (id, {description, preferred_trigger}).
struct Shortcut {
    QString id;
    QVariantMap properties;
};
using Shortcuts = QList<Shortcut>;

QDBusArgument& operator<<(QDBusArgument& argument, const Shortcut& shortcut) {
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, Shortcut& shortcut) {
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

}  // namespace tobble::shell::portal

Q_DECLARE_METATYPE(tobble::shell::portal::Shortcut)
Q_DECLARE_METATYPE(tobble::shell::portal::Shortcuts)

namespace tobble::shell {

namespace {

constexpr const char* kService = "org.freedesktop.portal.Desktop";
constexpr const char* kPath = "/org/freedesktop/portal/desktop";
constexpr const char* kInterface = "org.freedesktop.portal.GlobalShortcuts";
constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";
constexpr int kVersionTimeoutMs = 1000;

const log::Logger& logger() {
    static const log::Logger instance(engine::logSubsystem(), "Shortcut");
    return instance;
}

void registerTypes() {
    static std::atomic<bool> done = false;
    if (done.exchange(true)) return;
    qDBusRegisterMetaType<portal::Shortcut>();
    qDBusRegisterMetaType<portal::Shortcuts>();
}

// Receives one request's Response signal and hands it on; deletes itself afterwards.
class ResponseReceiver final : public QObject {
    Q_OBJECT
  public:
    explicit ResponseReceiver(std::function<void(uint, const QVariantMap&)> done)
        : done_(std::move(done)) {}

  public slots:
    void response(uint code, const QVariantMap& results) {
        if (done_) done_(code, results);
        done_ = nullptr;
        deleteLater();
    }

  private:
    std::function<void(uint, const QVariantMap&)> done_;
};

}  // namespace

PortalShortcutGrab::PortalShortcutGrab(QDBusConnection bus) : bus_(std::move(bus)) {
    registerTypes();
    available_ = portalOffersShortcuts(bus_);
    if (!available_) return;
    bus_.connect(kService, kPath, kInterface, "Activated", this,
                 SLOT(activated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
}

PortalShortcutGrab::~PortalShortcutGrab() {
    if (!session_.isEmpty() && bus_.isConnected()) {
        bus_.asyncCall(QDBusMessage::createMethodCall(kService, session_,
                                                      "org.freedesktop.portal.Session", "Close"));
    }
}

bool PortalShortcutGrab::portalOffersShortcuts(const QDBusConnection& bus) {
    if (!bus.isConnected()) return false;
    QDBusMessage get =
        QDBusMessage::createMethodCall(kService, kPath, "org.freedesktop.DBus.Properties", "Get");
    get << QString::fromLatin1(kInterface) << QStringLiteral("version");
    const QDBusMessage reply = bus.call(get, QDBus::Block, kVersionTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
    return reply.arguments().front().value<QDBusVariant>().variant().toUInt() >= 1;
}

QString PortalShortcutGrab::triggerText(const KeyboardShortcut& shortcut) {
    QStringList parts;
    if (shortcut.modifiers & modifier::kControl) parts << "CTRL";
    if (shortcut.modifiers & modifier::kOption) parts << "ALT";
    if (shortcut.modifiers & modifier::kShift) parts << "SHIFT";
    if (shortcut.modifiers & modifier::kCommand) parts << "LOGO";
    parts << QString::fromStdString(shortcut.key);
    return parts.join('+');
}

bool PortalShortcutGrab::install(const KeyboardShortcut& shortcut, std::function<void()> pressed) {
    if (!available_) return false;
    shortcut_ = shortcut;
    pressed_ = std::move(pressed);
    if (!session_.isEmpty()) {
        bind();
    } else if (!sessionPending_) {
        sessionPending_ = true;
        QVariantMap options{{"session_handle_token", QStringLiteral("tobble")}};
        request("CreateSession", {options}, [this](uint code, const QVariantMap& results) {
            sessionPending_ = false;
            session_ = results.value("session_handle").toString();
            if (code != 0 || session_.isEmpty()) {
                logger().error("the shortcuts portal refused a session (response " +
                               std::to_string(code) + ")");
                return;
            }
            if (pressed_) bind();
        });
    }
    return true;
}

void PortalShortcutGrab::bind() {
    const portal::Shortcuts shortcuts{
        {QString::fromLatin1(kShortcutId),
         {{"description", QStringLiteral("Open or close the Tobble panel")},
          {"preferred_trigger", triggerText(shortcut_)}}}};
    request("BindShortcuts",
            {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(shortcuts),
             QString(), QVariantMap{}},
            [](uint code, const QVariantMap&) {
                if (code == 0) {
                    logger().info("global shortcut bound through the desktop's portal");
                } else {
                    logger().error("the shortcuts portal did not bind the shortcut (response " +
                                   std::to_string(code) + ")");
                }
            });
}

void PortalShortcutGrab::remove() { pressed_ = nullptr; }

void PortalShortcutGrab::activated(const QDBusObjectPath& session, const QString& id, qulonglong,
                                   const QVariantMap&) {
    if (session.path() != session_ || id != QLatin1String(kShortcutId) || !pressed_) return;
    pressed_();
}

void PortalShortcutGrab::request(const QString& method, QList<QVariant> arguments,
                                 std::function<void(uint, const QVariantMap&)> done) {
    // The request object's path is known before the call, so its Response cannot be missed.
    const QString token = QStringLiteral("tobble%1").arg(++nextToken_);
    QString sender = bus_.baseService().mid(1);
    sender.replace('.', '_');
    const QString requestPath =
        QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    auto* receiver = new ResponseReceiver(std::move(done));
    receiver->setParent(this);
    bus_.connect(kService, requestPath, kRequestInterface, "Response", receiver,
                 SLOT(response(uint, QVariantMap)));
    QVariantMap options = arguments.takeLast().toMap();
    options.insert("handle_token", token);
    arguments.push_back(options);
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    call.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [method, receiver](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                if (!w->isError()) return;
                logger().error("the shortcuts portal's " + method.toStdString() +
                               " failed: " + w->error().message().toStdString());
                receiver->deleteLater();
            });
}

}  // namespace tobble::shell

#include "PortalShortcutGrab.moc"
