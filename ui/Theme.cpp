#include "ui/Theme.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <algorithm>

namespace tobble::ui {

namespace {

QColor rgb(double r, double g, double b, double a = 1.0) {
    return QColor::fromRgbF(float(r), float(g), float(b), float(a));
}
QColor grey(double v, double a = 1.0) { return rgb(v, v, v, a); }

}  // namespace

QColor Tobble::accent() { return rgb(0.357, 0.31, 0.91); }
QColor Tobble::accentSoft() { return rgb(0.357, 0.31, 0.91, 0.1); }
QColor Tobble::surface() { return grey(1.0); }
QColor Tobble::border() { return grey(0.0, 0.06); }
QColor Tobble::borderMed() { return grey(0.0, 0.1); }
QColor Tobble::textPrimary() { return grey(0.08); }
QColor Tobble::textSecondary() { return grey(0.42); }
QColor Tobble::textTertiary() { return grey(0.62); }
QColor Tobble::destructive() { return rgb(0.95, 0.28, 0.28); }
QColor Tobble::destructiveSoft() { return rgb(0.95, 0.28, 0.28, 0.1); }
QColor Tobble::warning() { return rgb(0.95, 0.6, 0.1); }
QColor Tobble::success() { return rgb(0.18, 0.72, 0.48); }
QColor Tobble::blackAt(double opacity) { return grey(0.0, opacity); }

QFont uiFont(double size, Weight weight, bool monospacedDigits) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    // Pixel sizes are logical pixels, which is what the panel's points are; a point size would
    // be scaled again by the screen's DPI setting.
    font.setPixelSize(std::max(1, static_cast<int>(size + 0.5)));
    switch (weight) {
        case Weight::Regular:
            font.setWeight(QFont::Normal);
            break;
        case Weight::Medium:
            font.setWeight(QFont::Medium);
            break;
        case Weight::Semibold:
            font.setWeight(QFont::DemiBold);
            break;
        case Weight::Bold:
            font.setWeight(QFont::Bold);
            break;
    }
    // Qt 6.4 cannot switch OpenType features; the common UI fonts have tabular digits already.
    (void)monospacedDigits;
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

QColor withOpacity(QColor color, double opacity) {
    color.setAlphaF(static_cast<float>(color.alphaF() * opacity));
    return color;
}

QColor mix(const QColor& a, const QColor& b, double t) {
    const auto lerp = [t](float x, float y) { return static_cast<float>(x + (y - x) * t); };
    return QColor::fromRgbF(lerp(a.redF(), b.redF()), lerp(a.greenF(), b.greenF()),
                            lerp(a.blueF(), b.blueF()), lerp(a.alphaF(), b.alphaF()));
}

}  // namespace tobble::ui
