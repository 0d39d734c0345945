#include <gtest/gtest.h>

#include <array>
#include <tuple>

#include "ui/Theme.h"
#include "ui/VUMeterView.h"

namespace tobble::ui {
namespace {

// A four-bar, 14-point meter: faint stubs up to about -49 dBFS, then the accent colour with the
// outer bars shorter, never beyond the full bar.
TEST(BarViewTest, HeightsAndColourFollowTheLevel) {
    const std::array<double, 4> stubs{2.5, 2.5, 2.5, 2.5};
    const std::array<double, 4> full{11.125, 13.04, 13.04, 11.125};
    for (const auto& [level, heights, colour] :
         std::initializer_list<std::tuple<float, std::array<double, 4>, QColor>>{
             {0.0f, stubs, Tobble::border()},
             {0.0035f, stubs, Tobble::border()},
             {1.0f, full, Tobble::accent()},
             {4.0f, full, Tobble::accent()},
         }) {
        for (int bar = 0; bar < 4; ++bar) {
            EXPECT_NEAR(BarView::barHeight(level, bar, 4, 14), heights[bar], 0.005)
                << "level " << level << " bar " << bar;
        }
        EXPECT_EQ(BarView::barColor(level), colour) << level;
    }
    EXPECT_GT(BarView::barHeight(0.00355f, 1, 4, 14), 2.5);
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

// Both schemes give text 4.5:1 and controls 3:1 against the panel's surface.
TEST(ThemeTest, BothSchemesKeepTheirContrast) {
    for (Scheme scheme : {Scheme::Light, Scheme::Dark}) {
        Tobble::setScheme(scheme);
        const QColor surface = Tobble::surface();
        for (const QColor& text :
             {Tobble::textPrimary(), Tobble::textSecondary(), Tobble::textTertiary(),
              Tobble::accent(), Tobble::warning(), Tobble::success(), Tobble::destructive()}) {
            EXPECT_GE(contrastRatio(text, surface), 4.5)
                << text.name().toStdString() << (scheme == Scheme::Dark ? " dark" : " light");
        }
        EXPECT_GE(contrastRatio(Tobble::onAccent(), Tobble::accent()), 4.5);
    }
    Tobble::setScheme(Scheme::Light);
}

}  // namespace
}  // namespace tobble::ui
