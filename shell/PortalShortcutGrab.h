#pragma once

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QObject>
#include <QVariantMap>
#include <functional>
#include <memory>

#include "shell/GlobalInput.h"

namespace tobble::shell {

// The global shortcut on a Wayland session, through the desktop's GlobalShortcuts portal
// (org.freedesktop.portal.GlobalShortcuts): Tobble asks for the shortcut with its stored keys as
// the preferred trigger, the desktop lets the user confirm or change it, and presses arrive as
// the portal's Activated signal. Available where the portal implements the interface (on Debian
// 12: KDE Plasma's portal; not GNOME's, nor the wlroots one). Main-thread object.
class PortalShortcutGrab final : public QObject, public GlobalShortcutGrab {
    Q_OBJECT
  public:
    static constexpr const char* kShortcutId = "toggle-panel";

    explicit PortalShortcutGrab(QDBusConnection bus);
    ~PortalShortcutGrab() override;

    // Whether the portal offers the interface (read once, at creation).
    static bool portalOffersShortcuts(const QDBusConnection& bus);
    // The stored shortcut as the portal's trigger text ("LOGO+SHIFT+t").
    static QString triggerText(const KeyboardShortcut& shortcut);

    bool isAvailable() const override { return available_; }
    // Asks the portal to bind the shortcut; true when the request was sent. The desktop may
    // show the user a dialog first; a refusal is logged.
    bool install(const KeyboardShortcut& shortcut, std::function<void()> pressed) override;
    void remove() override;
    bool isInstalled() const override { return static_cast<bool>(pressed_); }

  private slots:
    void activated(const QDBusObjectPath& session, const QString& id, qulonglong timestamp,
                   const QVariantMap& options);

  private:
    // Calls `method` with `arguments` (the last being the options, which get a handle token)
    // and hands the request's Response results to `done`.
    void request(const QString& method, QList<QVariant> arguments,
                 std::function<void(uint response, const QVariantMap& results)> done);
    void bind();

    QDBusConnection bus_;
    bool available_ = false;
    QString session_;
    bool sessionPending_ = false;
    KeyboardShortcut shortcut_;
    std::function<void()> pressed_;
    int nextToken_ = 0;
};

}  // namespace tobble::shell
