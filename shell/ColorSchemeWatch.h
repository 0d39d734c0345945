#pragma once

#include <QDBusConnection>
#include <QDBusVariant>
#include <QObject>
#include <QVariant>
#include <functional>
#include <memory>
#include <optional>

#include "ui/Theme.h"

namespace tobble::shell {

// Follows the desktop's light or dark preference: the settings portal's
// org.freedesktop.appearance color-scheme where a portal answers (GNOME, KDE and others with
// xdg-desktop-portal), else the lightness of Qt's window colour. Calls `changed` with each new
// scheme; the current one is in scheme(). Main-thread object.
class ColorSchemeWatch final : public QObject {
    Q_OBJECT
  public:
    ColorSchemeWatch(QDBusConnection bus, std::function<void(ui::Scheme)> changed);
    ~ColorSchemeWatch() override;

    ui::Scheme scheme() const { return scheme_; }

    // The portal's value (1 prefers dark, 2 prefers light, 0 or absent states none) and the
    // palette's window lightness, to the scheme.
    static ui::Scheme decide(std::optional<uint32_t> portalValue, double windowLightness);

  private slots:
    void settingChanged(const QString& group, const QString& key, const QDBusVariant& value);

  private:
    void update();
    bool eventFilter(QObject* watched, QEvent* event) override;

    QDBusConnection bus_;
    std::function<void(ui::Scheme)> changed_;
    std::optional<uint32_t> portalValue_;
    ui::Scheme scheme_ = ui::Scheme::Light;
};

}  // namespace tobble::shell
