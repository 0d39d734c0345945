#pragma once

#include <QColor>
#include <QFont>

namespace tobble::ui {

// The panel's colour table. Every view takes its colours from here, so the whole panel changes
// together.
struct Tobble {
    static QColor accent();
    static QColor accentSoft();
    static QColor surface();
    static QColor border();
    static QColor borderMed();
    static QColor textPrimary();
    static QColor textSecondary();
    static QColor textTertiary();
    static QColor destructive();
    static QColor destructiveSoft();
    static QColor warning();
    static QColor success();

    // Black at `opacity`: the hover wash of rows and headers.
    static QColor blackAt(double opacity);
};

enum class Weight { Regular, Medium, Semibold, Bold };

// The desktop's UI font at `size` points (logical pixels) and `weight`. One family for the whole
// panel; monospacedDigits keeps percentages from jittering while a slider moves.
QFont uiFont(double size, Weight weight, bool monospacedDigits = false);

// A colour with its alpha multiplied by `opacity`.
QColor withOpacity(QColor color, double opacity);

// Linear blend from `a` (t = 0) to `b` (t = 1), alpha included.
QColor mix(const QColor& a, const QColor& b, double t);

}  // namespace tobble::ui
