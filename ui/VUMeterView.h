#pragma once

#include <QColor>
#include <QSizeF>
#include <QWidget>

#include "ui/Motion.h"

namespace tobble::ui {

// One bar of the level meter: its height and colour for a linear level. −50 dBFS and below
// shows a faint stub, 0 dBFS a full bar; the outer bars are shorter than the inner ones.
struct BarView {
    static constexpr float kMinHeight = 2.5f;
    static constexpr float kThreshold = 0.02f;  // normalised level below which a bar idles

    // (20·log10(level) + 50) / 50, with the level floored at −100 dBFS.
    static float normalizedLevel(float level);
    static double barHeight(float level, int barIndex, int barCount, double maxHeight);
    static QColor barColor(float level);
};

// The row's four-bar level meter: bars bottom-aligned in a frame
// (barWidth + barSpacing) × barCount − barSpacing wide and barMaxHeight high.
class VUMeterView : public QWidget {
  public:
    VUMeterView(int barCount, double barWidth, double barMaxHeight, double barSpacing,
                QWidget* parent = nullptr);

    // The panel's meter: 4 bars of 2.5 pt, 14 pt high, 1.5 pt apart.
    static VUMeterView* makeRowMeter(QWidget* parent = nullptr);

    float level() const { return level_; }
    void setLevel(float level);
    // The meter's frame in points (it occupies whole pixels of the layout around it).
    QSizeF meterSize() const;
    double shownBarHeight(int barIndex) const;
    QColor shownBarColor(int barIndex) const;
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    int barCount_;
    double barWidth_;
    double barMaxHeight_;
    double barSpacing_;
    float level_ = 0;
    float shownFrom_ = 0;
    AnimatedValue blend_;  // 0 → 1 from the previous level to the current one, linear 0.05 s
};

}  // namespace tobble::ui
