#include "ui/Theme.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <algorithm>
#include <cmath>

namespace tobble::ui {

namespace {

QColor rgb(double r, double g, double b, double a = 1.0) {
    return QColor::fromRgbF(float(r), float(g), float(b), float(a));
}
QColor grey(double v, double a = 1.0) { return rgb(v, v, v, a); }

}  // namespace

namespace {
Scheme currentScheme = Scheme::Light;
bool dark() { return currentScheme == Scheme::Dark; }
}  // namespace

Scheme Tobble::scheme() { return currentScheme; }
void Tobble::setScheme(Scheme scheme) { currentScheme = scheme; }

// Light values were chosen against a white surface, dark ones against grey 0.15; the contrast
// test in the ui tests holds both to their minimums.
QColor Tobble::accent() { return dark() ? rgb(0.58, 0.53, 1.0) : rgb(0.357, 0.31, 0.91); }
QColor Tobble::accentSoft() { return withOpacity(accent(), dark() ? 0.18 : 0.1); }
QColor Tobble::surface() { return dark() ? grey(0.15) : grey(1.0); }
QColor Tobble::border() { return inkAt(0.06); }
QColor Tobble::borderMed() { return inkAt(0.1); }
QColor Tobble::textPrimary() { return dark() ? grey(0.93) : grey(0.08); }
QColor Tobble::textSecondary() { return dark() ? grey(0.72) : grey(0.42); }
QColor Tobble::textTertiary() { return dark() ? grey(0.6) : grey(0.45); }
QColor Tobble::destructive() { return dark() ? rgb(1.0, 0.45, 0.45) : rgb(0.8, 0.15, 0.15); }
QColor Tobble::destructiveSoft() { return withOpacity(destructive(), dark() ? 0.18 : 0.1); }
QColor Tobble::warning() { return dark() ? rgb(0.98, 0.7, 0.3) : rgb(0.65, 0.35, 0.0); }
QColor Tobble::success() { return dark() ? rgb(0.35, 0.85, 0.6) : rgb(0.1, 0.5, 0.3); }
QColor Tobble::onAccent() { return dark() ? grey(0.1) : grey(1.0); }
QColor Tobble::inkAt(double opacity) {
    // White reads weaker on dark than black on light: the same wash needs more of it.
    return dark() ? grey(1.0, std::min(1.0, opacity * 1.6)) : grey(0.0, opacity);
}

double contrastRatio(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& c) {
        const auto linear = [](double v) {
            return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

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
