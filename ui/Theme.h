#pragma once

#include <QColor>
#include <QFont>

namespace tobble::ui {

// The desktop's light or dark preference, which the panel follows.
enum class Scheme { Light, Dark };

// The panel's colour table, in the current scheme. Every view takes its colours from here, so
// the whole panel changes together. Both schemes give text at least 4.5:1 against the surface
// and controls at least 3:1.
struct Tobble {
    static Scheme scheme();
    // Views built after the call use the new scheme; the shell rebuilds what is open.
    static void setScheme(Scheme scheme);

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

    // Text colour on an accent-filled button.
    static QColor onAccent();
    // The scheme's ink (black on light, white on dark) at `opacity`: hover washes, tracks and
    // shadows.
    static QColor inkAt(double opacity);
};

enum class Weight { Regular, Medium, Semibold, Bold };

// The desktop's UI font at `size` points (logical pixels) and `weight`. One family for the whole
// panel; monospacedDigits keeps percentages from jittering while a slider moves.
QFont uiFont(double size, Weight weight, bool monospacedDigits = false);

// WCAG contrast ratio of two opaque colours (1 to 21).
double contrastRatio(const QColor& a, const QColor& b);

// A colour with its alpha multiplied by `opacity`.
QColor withOpacity(QColor color, double opacity);

// Linear blend from `a` (t = 0) to `b` (t = 1), alpha included.
QColor mix(const QColor& a, const QColor& b, double t);

}  // namespace tobble::ui
