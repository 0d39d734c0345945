#pragma once

#include <QColor>
#include <QRectF>
#include <QString>

#include "ui/Theme.h"

class QPainter;

namespace tobble::ui {

// The vendored icon set (ui/icons, Tabler Icons, MIT) under the symbol names the views use
// ("gearshape", "speaker.wave.2.fill", ...). Icons are drawn from their SVG at the painter's
// device pixel ratio and tinted, so they stay crisp at any scale.

// The resource path of the SVG for `symbol`; empty for a name the set does not map.
QString iconPath(const QString& symbol);

// Draws `symbol` centred in `frame`, `size` points tall, in `color`. The weight sets the stroke
// width of outline icons, the way a symbol font's weights do. An unknown symbol draws nothing.
void paintIcon(QPainter& painter, const QRectF& frame, const QString& symbol, double size,
               Weight weight, const QColor& color);

}  // namespace tobble::ui
