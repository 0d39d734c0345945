#include <gtest/gtest.h>

#include "ui/Theme.h"
#include "ui/VUMeterView.h"

namespace tobble::ui {
namespace {

TEST(BarViewTest, SilenceShowsFourFaintStubs) {
    for (int i = 0; i < 4; ++i) {
        EXPECT_DOUBLE_EQ(BarView::barHeight(0.0f, i, 4, 14), 2.5);
    }
    EXPECT_EQ(BarView::barColor(0.0f), Tobble::border());
}

TEST(BarViewTest, FullScaleShapesTheBarsOuterShorter) {
    EXPECT_NEAR(BarView::barHeight(1.0f, 0, 4, 14), 11.125, 0.005);
    EXPECT_NEAR(BarView::barHeight(1.0f, 1, 4, 14), 13.04, 0.005);
    EXPECT_NEAR(BarView::barHeight(1.0f, 2, 4, 14), 13.04, 0.005);
    EXPECT_NEAR(BarView::barHeight(1.0f, 3, 4, 14), 11.125, 0.005);
    EXPECT_EQ(BarView::barColor(1.0f), Tobble::accent());
    // Louder than full scale still stops at the full bar.
    EXPECT_NEAR(BarView::barHeight(4.0f, 1, 4, 14), 13.04, 0.005);
}

TEST(BarViewTest, ThresholdNearMinus49dBFS) {
    EXPECT_DOUBLE_EQ(BarView::barHeight(0.0035f, 1, 4, 14), 2.5);
    EXPECT_EQ(BarView::barColor(0.0035f), Tobble::border());
    EXPECT_GT(BarView::barHeight(0.00355f, 1, 4, 14), 2.5);
    EXPECT_GT(BarView::barHeight(0.0036f, 1, 4, 14), 2.5);
    EXPECT_EQ(BarView::barColor(0.0036f), Tobble::accent());
}

TEST(VUMeterViewTest, RowMeterIs14_5By14AndFollowsItsLevel) {
    std::unique_ptr<VUMeterView> meter(VUMeterView::makeRowMeter());
    EXPECT_DOUBLE_EQ(meter->meterSize().width(), 14.5);
    EXPECT_DOUBLE_EQ(meter->meterSize().height(), 14.0);
    meter->setLevel(1.0f);
    EXPECT_NEAR(meter->shownBarHeight(0), 11.125, 0.005);
    meter->setLevel(0.0f);
    EXPECT_DOUBLE_EQ(meter->shownBarHeight(0), 2.5);
}

}  // namespace
}  // namespace tobble::ui
