#include "ui/MuteButton.h"

#include <QPainter>

#include "ui/Icons.h"

namespace tobble::ui {

MuteButton::MuteButton(QWidget* parent)
    : PaintedButton(QSize(32, 32), {}, parent), mutedAmount_(0, [this] { update(); }) {
    setFixedSize(32, 32);
    setPainter([this](QPainter& painter, const QRectF& bounds, const State&) {
        const double t = std::clamp(mutedAmount_.value(), 0.0, 1.2);
        const QRectF tile(bounds.center().x() - 12, bounds.center().y() - 12, 24, 24);
        // The spring's overshoot swells the tile a little past its size, then settles.
        const double swell = 1.0 + 0.08 * std::max(0.0, t - 1.0) / 0.2;
        QRectF swollen(0, 0, tile.width() * swell, tile.height() * swell);
        swollen.moveCenter(tile.center());
        fillRounded(painter, swollen, 5,
                    withOpacity(Tobble::destructiveSoft(), std::clamp(t, 0.0, 1.0)));
        const double c = std::clamp(t, 0.0, 1.0);
        const QColor colour = mix(Tobble::textTertiary(), Tobble::destructive(), c);
        paintIcon(painter, tile, muted_ ? "speaker.slash.fill" : "speaker.wave.2.fill", 10,
                  Weight::Medium, colour);
    });
    setCornerRadius(5);
    setCheckable(true);
    setToolTip("Mute");
    setAccessibleName("Mute");
}

void MuteButton::setSubject(const QString& subject) {
    setAccessibleName(subject.isEmpty() ? QStringLiteral("Mute")
                                        : QStringLiteral("Mute ") + subject);
}

void MuteButton::setMuted(bool muted) {
    if (muted == muted_) return;
    muted_ = muted;
    setToolTip(muted ? "Unmute" : "Mute");
    setChecked(muted);
    mutedAmount_.animateTo(muted ? 1.0 : 0.0, Motion::spring(0.25, 0.7));
    update();
}

}  // namespace tobble::ui
