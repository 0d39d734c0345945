#include "ui/Icons.h"

#include <QFile>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cmath>
#include <map>

// The icons live in this static library's resources, whose registration the linker drops unless
// something refers to it.
static void registerIconResources() { Q_INIT_RESOURCE(icons); }

namespace tobble::ui {

namespace {

// Symbol name → file under :/tobble/icons. Several symbols share a drawing where the set has
// only one (the filled and outline speakers).
const std::map<QString, QString>& symbolFiles() {
    static const std::map<QString, QString> files = {
        {"gearshape", "settings-outline"},
        {"speaker.wave.2.fill", "volume-outline"},
        {"speaker.wave.2", "volume-outline"},
        {"speaker.slash.fill", "volume-off-outline"},
        {"speaker.slash", "volume-off-outline"},
        {"eye.slash", "eye-off-outline"},
        {"eye", "eye-outline"},
        {"chevron.right", "chevron-right-outline"},
        {"chevron.down", "chevron-down-outline"},
        {"chevron.left", "chevron-left-outline"},
        {"headphones", "headphones-outline"},
        {"wave.3.right", "bluetooth-outline"},
        {"tv", "device-tv-outline"},
        {"cable.connector", "usb-outline"},
        {"hifispeaker", "device-speaker-outline"},
        {"keyboard", "keyboard-outline"},
        {"app.fill", "app-window-filled"},
        {"heart.fill", "heart-filled"},
        {"xmark", "x-outline"},
        {"power", "power-outline"},
        {"checkmark", "check-outline"},
        {"exclamationmark.circle.fill", "alert-circle-filled"},
        {"questionmark.circle", "help-circle-outline"},
        {"globe", "world-outline"},
        {"book", "book-outline"},
        {"arrow.up.right", "arrow-up-right-outline"},
        {"arrow.up.right.circle", "circle-arrow-up-right-outline"},
        {"arrow.triangle.2.circlepath", "refresh-outline"},
    };
    return files;
}

double strokeWidth(Weight weight) {
    switch (weight) {
        case Weight::Regular:
            return 1.75;
        case Weight::Medium:
            return 2.0;
        case Weight::Semibold:
            return 2.25;
        case Weight::Bold:
            return 2.5;
    }
    return 2.0;
}

// The SVG text with the set's "currentColor" made opaque black (tinted later) and the stroke
// width of the weight.
QByteArray svgFor(const QString& path, Weight weight) {
    static QHash<QString, QByteArray> raw;
    auto it = raw.find(path);
    if (it == raw.end()) {
        QFile file(path);
        QByteArray data = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        it = raw.insert(path, data);
    }
    QByteArray svg = *it;
    svg.replace("currentColor", "#000000");
    svg.replace("stroke-width=\"2\"",
                QByteArray("stroke-width=\"") + QByteArray::number(strokeWidth(weight)) + "\"");
    return svg;
}

}  // namespace

QString iconPath(const QString& symbol) {
    static const bool registered = (registerIconResources(), true);
    (void)registered;
    const auto& files = symbolFiles();
    auto it = files.find(symbol);
    if (it == files.end()) return {};
    return QStringLiteral(":/tobble/icons/%1.svg").arg(it->second);
}

void paintIcon(QPainter& painter, const QRectF& frame, const QString& symbol, double size,
               Weight weight, const QColor& color) {
    const QString path = iconPath(symbol);
    if (path.isEmpty() || color.alpha() == 0) return;
    // The set draws on a 24 grid with a 2-unit margin; a box of 1.3 × the point size gives a
    // glyph about as tall as a symbol-font glyph of that size.
    const double box = size * 1.3;
    const double dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const int pixels = std::max(1, static_cast<int>(std::ceil(box * dpr)));

    static QHash<QString, QImage> cache;
    const QString key = QStringLiteral("%1|%2|%3|%4")
                            .arg(symbol)
                            .arg(pixels)
                            .arg(int(weight))
                            .arg(color.rgba(), 0, 16);
    auto it = cache.find(key);
    if (it == cache.end()) {
        QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter p(&image);
            p.setRenderHint(QPainter::Antialiasing);
            QSvgRenderer renderer(svgFor(path, weight));
            renderer.render(&p, QRectF(0, 0, pixels, pixels));
            p.setCompositionMode(QPainter::CompositionMode_SourceIn);
            p.fillRect(image.rect(), color);
        }
        image.setDevicePixelRatio(static_cast<double>(pixels) / box);
        if (cache.size() > 512) cache.clear();
        it = cache.insert(key, image);
    }
    const QPointF topLeft(frame.center().x() - box / 2, frame.center().y() - box / 2);
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRectF(topLeft, QSizeF(box, box)), *it);
    painter.restore();
}

}  // namespace tobble::ui
