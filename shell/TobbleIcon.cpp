#include "shell/TobbleIcon.h"

#include <QFile>
#include <QGuiApplication>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QSvgRenderer>

static void initTobbleIconResources() { Q_INIT_RESOURCE(shell_icons); }

namespace tobble::shell {

namespace {

QByteArray tintedDrawing(const QString& path, const QColor& colour) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    QByteArray svg = file.readAll();
    svg.replace("currentColor", colour.name(QColor::HexRgb).toLatin1());
    return svg;
}

}  // namespace

QIcon tobbleStatusIcon(const QColor& colour) {
    initTobbleIconResources();
    // Each size comes from the drawing whose grid it is a whole multiple of, so edges land on
    // pixel boundaries; the others are scaled from the nearer one.
    QSvgRenderer small(tintedDrawing(QStringLiteral(":/tobble/tobble-symbolic.svg"), colour));
    QSvgRenderer tray(tintedDrawing(QStringLiteral(":/tobble/tobble-symbolic-22.svg"), colour));
    if (!small.isValid() || !tray.isValid()) return {};
    QIcon icon;
    for (int size : {16, 18, 20, 22, 24, 32, 44, 48, 64}) {
        QSvgRenderer& renderer = (size % 22 == 0 || size == 20 || size == 24) ? tray : small;
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(0, 0, size, size));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QIcon tobbleStatusIcon() {
    // The installed symbolic icon is sent to the tray host by name, and the host colours it for
    // its own bar (dark or light) and follows theme changes; the drawing is for a build tree.
    if (QIcon::hasThemeIcon(QStringLiteral("tobble-symbolic"))) {
        return QIcon::fromTheme(QStringLiteral("tobble-symbolic"));
    }
    const QColor window = QGuiApplication::palette().color(QPalette::Window);
    return tobbleStatusIcon(window.lightnessF() < 0.5 ? QColor(0xf0, 0xf0, 0xf0)
                                                      : QColor(0x20, 0x20, 0x20));
}

QIcon tobbleAppIcon() {
    initTobbleIconResources();
    return QIcon(QStringLiteral(":/tobble/tobble.svg"));
}

}  // namespace tobble::shell
