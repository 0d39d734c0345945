#include "shell/tray/StatusNotifierItem.h"

#include <unistd.h>

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QImage>
#include <QTimer>
#include <QtEndian>
#include <atomic>

#include "engine/core/Identity.h"
#include "platform/log/Log.h"

namespace tobble::shell::sni {

// One image of the icon, as the protocol carries it: ARGB32 in network byte order.
struct IconPixmap {
    int width = 0;
    int height = 0;
    QByteArray bytes;
};
using IconPixmaps = QList<IconPixmap>;

// The tooltip: icon name, icon images, title, text.
struct ToolTip {
    QString iconName;
    IconPixmaps pixmaps;
    QString title;
    QString text;
};

}  // namespace tobble::shell::sni

Q_DECLARE_METATYPE(tobble::shell::sni::IconPixmap)
Q_DECLARE_METATYPE(tobble::shell::sni::IconPixmaps)
Q_DECLARE_METATYPE(tobble::shell::sni::ToolTip)

namespace tobble::shell::sni {

QDBusArgument& operator<<(QDBusArgument& argument, const IconPixmap& icon) {
    argument.beginStructure();
    argument << icon.width << icon.height << icon.bytes;
    argument.endStructure();
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, IconPixmap& icon) {
    argument.beginStructure();
    argument >> icon.width >> icon.height >> icon.bytes;
    argument.endStructure();
    return argument;
}
QDBusArgument& operator<<(QDBusArgument& argument, const ToolTip& tip) {
    argument.beginStructure();
    argument << tip.iconName << tip.pixmaps << tip.title << tip.text;
    argument.endStructure();
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, ToolTip& tip) {
    argument.beginStructure();
    argument >> tip.iconName >> tip.pixmaps >> tip.title >> tip.text;
    argument.endStructure();
    return argument;
}

}  // namespace tobble::shell::sni

namespace tobble::shell {
namespace {

using sni::IconPixmap;
using sni::IconPixmaps;
using sni::ToolTip;

void registerTypes() {
    static std::atomic<bool> done = false;
    if (done.exchange(true)) return;
    qDBusRegisterMetaType<IconPixmap>();
    qDBusRegisterMetaType<IconPixmaps>();
    qDBusRegisterMetaType<ToolTip>();
}

IconPixmaps pixmapsOf(const QIcon& icon) {
    IconPixmaps out;
    for (int size : {16, 22, 24, 32, 48}) {
        const QImage image =
            icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.isNull()) continue;
        IconPixmap pixmap{image.width(), image.height(), {}};
        pixmap.bytes.resize(static_cast<qsizetype>(image.sizeInBytes()));
        auto* target = reinterpret_cast<quint32*>(pixmap.bytes.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x) *target++ = qToBigEndian(line[x]);
        }
        out.push_back(std::move(pixmap));
    }
    return out;
}

const log::Logger& logger() {
    static const log::Logger instance(engine::logSubsystem(), "Tray");
    return instance;
}

}  // namespace

// The exported org.kde.StatusNotifierItem interface.
class StatusNotifierItemAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(tobble::shell::sni::IconPixmaps IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ empty)
    Q_PROPERTY(QString AttentionIconName READ empty)
    Q_PROPERTY(tobble::shell::sni::ToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)

  public:
    explicit StatusNotifierItemAdaptor(StatusNotifierItem* item)
        : QDBusAbstractAdaptor(item), item_(item) {
        connect(item, &StatusNotifierItem::iconChanged, this, [this] { emit NewIcon(); });
    }

    QString category() const { return QStringLiteral("Hardware"); }
    QString id() const { return QStringLiteral("tobble"); }
    QString title() const { return QStringLiteral("Tobble"); }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    QString iconName() const { return item_->iconName(); }
    IconPixmaps iconPixmap() const { return pixmapsOf(item_->iconPixels()); }
    QString empty() const { return {}; }
    ToolTip toolTip() const { return {item_->iconName(), {}, QStringLiteral("Tobble"), {}}; }
    // The host asks for the menu through ContextMenu; the item shows its own.
    bool itemIsMenu() const { return false; }
    QDBusObjectPath menu() const { return QDBusObjectPath("/NO_DBUSMENU"); }

  public slots:
    void Activate(int x, int y) { item_->activateAt({x, y}); }
    void SecondaryActivate(int x, int y) { item_->activateAt({x, y}); }
    void ContextMenu(int x, int y) { item_->contextMenuAt({x, y}); }
    void Scroll(int, const QString&) {}

  signals:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);

  private:
    StatusNotifierItem* item_;
};

StatusNotifierItem::StatusNotifierItem(QDBusConnection bus, Handlers handlers)
    : bus_(std::move(bus)), handlers_(std::move(handlers)) {
    registerTypes();
    new StatusNotifierItemAdaptor(this);
    static int instances = 0;
    serviceName_ =
        QStringLiteral("org.kde.StatusNotifierItem-%1-%2").arg(::getpid()).arg(++instances);
    if (!bus_.isConnected()) return;
    if (!bus_.registerObject(QStringLiteral("/StatusNotifierItem"), this,
                             QDBusConnection::ExportAdaptors) ||
        !bus_.registerService(serviceName_)) {
        logger().error("tray item could not be published on the session bus: " +
                       bus_.lastError().message().toStdString());
        return;
    }
    watcher_ = std::make_unique<QDBusServiceWatcher>(
        QString::fromLatin1(kWatcherService), bus_,
        QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration);
    connect(watcher_.get(), &QDBusServiceWatcher::serviceRegistered, this,
            [this] { registerWithWatcher(); });
    connect(watcher_.get(), &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        if (!std::exchange(registered_, false)) return;
        logger().info("the tray went away");
        emit registeredChanged(false);
    });
    registerWithWatcher();
}

StatusNotifierItem::~StatusNotifierItem() {
    if (!bus_.isConnected()) return;
    bus_.unregisterService(serviceName_);
    bus_.unregisterObject(QStringLiteral("/StatusNotifierItem"));
}

bool StatusNotifierItem::isHostPresent(const QDBusConnection& bus) {
    if (!bus.isConnected()) return false;
    QDBusInterface watcher(QString::fromLatin1(kWatcherService),
                           QStringLiteral("/StatusNotifierWatcher"),
                           QString::fromLatin1(kWatcherService), bus);
    return watcher.isValid() && watcher.property("IsStatusNotifierHostRegistered").toBool();
}

void StatusNotifierItem::registerWithWatcher() {
    if (!bus_.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kWatcherService), QStringLiteral("/StatusNotifierWatcher"),
        QString::fromLatin1(kWatcherService), QStringLiteral("RegisterStatusNotifierItem"));
    call << serviceName_;
    // Asynchronous: a watcher that is starting must not hold up the main thread.
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (w->isError()) {
            // No watcher yet is the usual case at login: the service watch calls again when one
            // appears. A watcher that has its name but is not ready yet gets a few more tries.
            if (w->error().type() == QDBusError::ServiceUnknown) return;
            logger().error("tray registration failed (" + w->error().name().toStdString() +
                           "): " + w->error().message().toStdString());
            if (++failedRegistrations_ <= kRegistrationRetries) {
                QTimer::singleShot(kRegistrationRetryMs, this, [this] { registerWithWatcher(); });
            }
            return;
        }
        failedRegistrations_ = 0;
        if (std::exchange(registered_, true)) return;
        logger().info("status item registered with the tray");
        emit registeredChanged(true);
    });
}

void StatusNotifierItem::setIcon(const QString& themeName, const QIcon& pixels) {
    iconName_ = themeName;
    pixels_ = pixels;
    emit iconChanged();
}

void StatusNotifierItem::activateAt(QPoint at) {
    if (handlers_.activate) handlers_.activate(at);
}

void StatusNotifierItem::contextMenuAt(QPoint at) {
    if (handlers_.contextMenu) handlers_.contextMenu(at);
}

}  // namespace tobble::shell

#include "StatusNotifierItem.moc"
