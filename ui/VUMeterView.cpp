#include "ui/VUMeterView.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

#include "ui/Controls.h"
#include "ui/Theme.h"

namespace tobble::ui {

float BarView::normalizedLevel(float level) {
    return (20.0f * std::log10(std::max(level, 0.00001f)) + 50.0f) / 50.0f;
}

double BarView::barHeight(float level, int barIndex, int barCount, double maxHeight) {
    const float n = normalizedLevel(level);
    if (n <= kThreshold) return kMinHeight;
    const float m = std::min(n, 1.0f);
    const float centre = static_cast<float>(barCount - 1) * 0.5f;
    const float shape = 1.0f - 0.25f * std::abs(static_cast<float>(barIndex) - centre) / centre;
    return m * (static_cast<float>(maxHeight) - kMinHeight) * shape + kMinHeight;
}

QColor BarView::barColor(float level) {
    return normalizedLevel(level) > kThreshold ? Tobble::accent() : Tobble::border();
}

VUMeterView::VUMeterView(int barCount, double barWidth, double barMaxHeight, double barSpacing,
                         QWidget* parent)
    : QWidget(parent),
      barCount_(std::max(2, barCount)),
      barWidth_(barWidth),
      barMaxHeight_(barMaxHeight),
      barSpacing_(barSpacing),
      blend_(1.0, [this] { update(); }) {
    setFixedSize(sizeHint());
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

VUMeterView* VUMeterView::makeRowMeter(QWidget* parent) {
    return new VUMeterView(4, 2.5, 14, 1.5, parent);
}

QSizeF VUMeterView::meterSize() const {
    return {(barWidth_ + barSpacing_) * barCount_ - barSpacing_, barMaxHeight_};
}

QSize VUMeterView::sizeHint() const {
    const QSizeF size = meterSize();
    return {static_cast<int>(std::ceil(size.width())), static_cast<int>(std::ceil(size.height()))};
}

void VUMeterView::setLevel(float level) {
    if (level == level_) return;
    // Start the new transition from what is on screen now, so fast polls glide rather than jump.
    const double t = std::clamp(blend_.value(), 0.0, 1.0);
    shownFrom_ = static_cast<float>(shownFrom_ + (level_ - shownFrom_) * t);
    level_ = level;
    blend_.jumpTo(0.0);
    blend_.animateTo(1.0, Motion::linear(0.05));
}

double VUMeterView::shownBarHeight(int barIndex) const {
    return BarView::barHeight(level_, barIndex, barCount_, barMaxHeight_);
}

QColor VUMeterView::shownBarColor(int) const { return BarView::barColor(level_); }

void VUMeterView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double t = std::clamp(blend_.value(), 0.0, 1.0);
    const double x0 = (width() - meterSize().width()) / 2.0;
    for (int i = 0; i < barCount_; ++i) {
        const double from = BarView::barHeight(shownFrom_, i, barCount_, barMaxHeight_);
        const double to = BarView::barHeight(level_, i, barCount_, barMaxHeight_);
        const double h = from + (to - from) * t;
        const QColor colour = mix(BarView::barColor(shownFrom_), BarView::barColor(level_), t);
        const QRectF bar(x0 + i * (barWidth_ + barSpacing_), barMaxHeight_ - h, barWidth_, h);
        fillRounded(painter, bar, 1, colour);
    }
}

}  // namespace tobble::ui
