#include "app/shell/TobbleIcon.h"

#include <QFile>
#include <QGuiApplication>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QSvgRenderer>

static void initTobbleIconResources() { Q_INIT_RESOURCE(icons); }

namespace tobble::shell {

QIcon tobbleStatusIcon(const QColor& colour) {
    initTobbleIconResources();
    QFile file(QStringLiteral(":/tobble/tobble-symbolic.svg"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    QByteArray svg = file.readAll();
    svg.replace("currentColor", colour.name(QColor::HexRgb).toLatin1());
    QSvgRenderer renderer(svg);
    if (!renderer.isValid()) return {};
    QIcon icon;
    for (int size : {16, 18, 20, 22, 24, 32, 44, 48, 64}) {
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
    const QColor window = QGuiApplication::palette().color(QPalette::Window);
    return tobbleStatusIcon(window.lightnessF() < 0.5 ? QColor(0xf0, 0xf0, 0xf0)
                                                      : QColor(0x20, 0x20, 0x20));
}

QIcon tobbleAppIcon() {
    initTobbleIconResources();
    return QIcon(QStringLiteral(":/tobble/tobble.svg"));
}

}  // namespace tobble::shell
