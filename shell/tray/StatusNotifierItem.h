#pragma once

#include <QDBusConnection>
#include <QIcon>
#include <QObject>
#include <QPoint>
#include <functional>
#include <memory>

class QDBusServiceWatcher;

namespace tobble::shell {

// The tray item of the StatusNotifier protocol (KDE Plasma, GNOME's AppIndicator extension,
// Xfce, Cinnamon, most panels), published on the session bus by Tobble itself rather than by
// Qt's tray icon: Qt decides once per process whether a StatusNotifier tray exists, so a tray
// host that starts after Tobble, as at login, would never get the item. This one registers with
// every watcher that appears. The host's clicks arrive as activate(); its request for the
// item's menu as contextMenu(), with a point on the screen. Main-thread object.
class StatusNotifierItem final : public QObject {
    Q_OBJECT
  public:
    static constexpr const char* kWatcherService = "org.kde.StatusNotifierWatcher";

    struct Handlers {
        std::function<void(QPoint)> activate;
        std::function<void(QPoint)> contextMenu;
    };

    StatusNotifierItem(QDBusConnection bus, Handlers handlers);
    ~StatusNotifierItem() override;

    // The icon by theme name (the host colours a symbolic one) and as pixels for hosts without
    // the theme icon.
    void setIcon(const QString& themeName, const QIcon& pixels);
    // Whether a watcher has the item now.
    bool isRegistered() const { return registered_; }
    // Whether a watcher with a tray host on it runs on the bus.
    static bool isHostPresent(const QDBusConnection& bus);

    // Called through the exported interface.
    void activateAt(QPoint at);
    void contextMenuAt(QPoint at);
    QString iconName() const { return iconName_; }
    const QIcon& iconPixels() const { return pixels_; }

  signals:
    void registeredChanged(bool registered);
    void iconChanged();

  private:
    void registerWithWatcher();

    QDBusConnection bus_;
    Handlers handlers_;
    QString serviceName_;
    QString iconName_;
    QIcon pixels_;
    bool registered_ = false;
    int failedRegistrations_ = 0;
    static constexpr int kRegistrationRetries = 10;
    static constexpr int kRegistrationRetryMs = 500;
    std::unique_ptr<QDBusServiceWatcher> watcher_;
};

}  // namespace tobble::shell
