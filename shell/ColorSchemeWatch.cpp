#include "shell/ColorSchemeWatch.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QEvent>
#include <QGuiApplication>
#include <QPalette>

namespace tobble::shell {

namespace {

constexpr const char* kPortalService = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kSettingsInterface = "org.freedesktop.portal.Settings";
constexpr const char* kAppearance = "org.freedesktop.appearance";
constexpr const char* kColorScheme = "color-scheme";
// A portal that is starting must not hold up the program's start for long.
constexpr int kReadTimeoutMs = 1000;

// The portal wraps the value in one or two variants, depending on its version.
std::optional<uint32_t> unwrap(QVariant value) {
    while (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>()) {
        value = value.value<QDBusVariant>().variant();
    }
    bool ok = false;
    const uint32_t number = value.toUInt(&ok);
    return ok ? std::optional(number) : std::nullopt;
}

}  // namespace

ColorSchemeWatch::ColorSchemeWatch(QDBusConnection bus, std::function<void(ui::Scheme)> changed)
    : bus_(std::move(bus)), changed_(std::move(changed)) {
    if (bus_.isConnected()) {
        QDBusMessage read =
            QDBusMessage::createMethodCall(kPortalService, kPortalPath, kSettingsInterface, "Read");
        read << QString::fromLatin1(kAppearance) << QString::fromLatin1(kColorScheme);
        const QDBusMessage reply = bus_.call(read, QDBus::Block, kReadTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
            portalValue_ = unwrap(reply.arguments().front());
        }
        bus_.connect(kPortalService, kPortalPath, kSettingsInterface, "SettingChanged", this,
                     SLOT(settingChanged(QString, QString, QDBusVariant)));
    }
    if (qApp) qApp->installEventFilter(this);
    scheme_ = decide(portalValue_, QGuiApplication::palette().color(QPalette::Window).lightnessF());
}

ColorSchemeWatch::~ColorSchemeWatch() {
    if (qApp) qApp->removeEventFilter(this);
}

ui::Scheme ColorSchemeWatch::decide(std::optional<uint32_t> portalValue, double windowLightness) {
    if (portalValue == 1u) return ui::Scheme::Dark;
    if (portalValue == 2u) return ui::Scheme::Light;
    return windowLightness < 0.5 ? ui::Scheme::Dark : ui::Scheme::Light;
}

void ColorSchemeWatch::settingChanged(const QString& group, const QString& key,
                                      const QDBusVariant& value) {
    if (group != QLatin1String(kAppearance) || key != QLatin1String(kColorScheme)) return;
    portalValue_ = unwrap(value.variant());
    update();
}

bool ColorSchemeWatch::eventFilter(QObject* watched, QEvent* event) {
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) update();
    return QObject::eventFilter(watched, event);
}

void ColorSchemeWatch::update() {
    const ui::Scheme now =
        decide(portalValue_, QGuiApplication::palette().color(QPalette::Window).lightnessF());
    if (now == scheme_) return;
    scheme_ = now;
    if (changed_) changed_(now);
}

}  // namespace tobble::shell
