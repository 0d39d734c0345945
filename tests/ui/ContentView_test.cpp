#include "ui/ContentView.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QMenu>
#include <QScrollArea>

#include "tests/ui/UiTestBed.h"
#include "ui/AppRowView.h"
#include "ui/Controls.h"
#include "ui/MuteButton.h"
#include "ui/SettingsView.h"

namespace tobble::ui {
namespace {

TEST(ContentViewTaglineTest, CyclesThroughTheYearFromFirstJanuary) {
    EXPECT_EQ(ContentView::dailyTagline(QDate(2025, 1, 1)), "handles your sound.");
    EXPECT_EQ(ContentView::dailyTagline(QDate(2025, 2, 2)), "handles your sound.");  // day 33
    EXPECT_EQ(ContentView::dailyTagline(QDate(2024, 12, 31)), "doesn't miss.");      // day 366
    EXPECT_EQ(ContentView::dailyTagline(QDate()), "handles your sound.");
}

TEST(ContentViewBannerTest, ReturnsSevenDaysAfterItsDismissal) {
    const double now = 1'700'000'000;
    EXPECT_TRUE(ContentView::shouldShowFeedbackBanner(0, now));
    EXPECT_FALSE(ContentView::shouldShowFeedbackBanner(now - 604800, now));
    EXPECT_TRUE(ContentView::shouldShowFeedbackBanner(now - 604801, now));
    EXPECT_FALSE(ContentView::shouldShowFeedbackBanner(now - 10, now));
}

class ContentViewTest : public ::testing::Test, public testing::UiTestBed {
  protected:
    void SetUp() override {
        addSpeakers();
        engine->start();
        viewModel->start();
    }
    std::unique_ptr<ContentView> makeView() {
        auto view = std::make_unique<ContentView>(context);
        view->show();
        pump();
        return view;
    }
};

TEST_F(ContentViewTest, DismissingTheBannerStoresNowAndHidesIt) {
    auto view = makeView();
    EXPECT_TRUE(view->isBannerShown());
    view->bannerDismissButton()->click();
    EXPECT_FALSE(view->isBannerShown());
    EXPECT_DOUBLE_EQ(defaults.number(ContentView::kBannerDismissedAtKey), view->now());
}

TEST_F(ContentViewTest, HidingTheOnlyRowRemembersItsApplicationAndShowsTheEmptyState) {
    launch(201, "com.example.music", "Music");
    pump(2.0);
    auto view = makeView();
    ASSERT_EQ(view->rows().size(), 1u);
    EXPECT_FALSE(view->isEmptyStateShown());
    EXPECT_GE(view->clientList()->height(), ContentView::kListMinHeight);

    AppRowView* row = view->rows().front();
    EXPECT_EQ(row->contextMenuTitles(), (QStringList{"Output", "Hide Music"}));
    row->requestHide();
    pump();
    EXPECT_EQ(app::HiddenAppsStore(defaults).hiddenApps(),  // persisted
              (app::HiddenAppsStore::HiddenApps{{"com.example.music", "Music"}}));
    EXPECT_TRUE(view->rows().empty());
    EXPECT_TRUE(view->isEmptyStateShown());
    EXPECT_EQ(viewModel->clients().size(), 1u);  // hidden from the panel, still routed
}

// The row's "Output" menu sends its application to one device; the row then shows the device's
// symbol, and says where it plays while the device is away.
TEST_F(ContentViewTest, OutputMenuSendsOneRowToADeviceAndSaysWhenTheDeviceIsAway) {
    audio.addDevice({.uid = "usb", .name = "USB Headset"});
    launch(201, "com.example.chat", "Chat");
    pump(2.0);
    auto view = makeView();
    pump();
    AppRowView* row = view->row(this->row("com.example.chat")->id);
    const auto choices = [&] {
        row->openContextMenu(QPoint(10, 10));
        std::vector<QAction*> actions;
        for (QAction* a : row->openMenu()->actions().front()->menu()->actions()) {
            if (!a->isSeparator()) actions.push_back(a);
        }
        return actions;
    };
    auto menu = choices();
    ASSERT_EQ(menu.size(), 3u);
    EXPECT_EQ(menu[0]->text(), AppRowView::kSystemOutputTitle);
    EXPECT_TRUE(menu[0]->isChecked());
    EXPECT_EQ(menu[2]->text(), "USB Headset");
    menu[2]->trigger();
    pump(1.0);
    EXPECT_EQ(this->row("com.example.chat")->output, "usb");
    EXPECT_EQ(row->outputSymbol(), "cable.connector");
    EXPECT_TRUE(choices()[2]->isChecked());
    EXPECT_EQ(row->outputNote(), "");

    audio.removeDevice("usb");
    pump(1.0);
    EXPECT_EQ(row->outputNote(),
              QString::fromUtf8("USB Headset unavailable — playing on speakers"));
    choices()[0]->trigger();  // back to following
    pump(1.0);
    EXPECT_EQ(this->row("com.example.chat")->output, "");
    EXPECT_EQ(row->outputNote(), "");
}

// Two moves in one event batch, before the view model's fresh record reaches the row, unmute
// exactly once.
TEST_F(ContentViewTest, MovingAMutedRowUnmutesOnceThenSetsTheVolume) {
    launch(201, "com.example.music", "Music");
    pump(2.0);
    auto view = makeView();
    const uint32_t id = row("com.example.music")->id;
    viewModel->toggleMute(id);
    pump();
    ASSERT_TRUE(row("com.example.music")->isMuted);
    AppRowView* appRow = view->row(id);
    EXPECT_EQ(appRow->muteButton()->accessibleName(), "Mute Music");
    EXPECT_TRUE(appRow->muteButton()->isChecked());
    // The slider, not the name, takes the row's spare width.
    EXPECT_GE(appRow->slider()->width(), 100);

    Slider* slider = appRow->slider();
    slider->dragTo(0.4);
    slider->dragTo(0.45);
    EXPECT_TRUE(viewModel->isDragging(id));
    EXPECT_FALSE(row("com.example.music")->isMuted);
    EXPECT_FLOAT_EQ(row("com.example.music")->volume, 0.45f);
    slider->releaseDrag();
    pump(0.6);
    EXPECT_FALSE(viewModel->isDragging(id));
    EXPECT_FALSE(appRow->muteButton()->isChecked());
    EXPECT_EQ(saved("com.example.music"), (app::VolumeStore::SavedState{0.45f, false}));
}

TEST_F(ContentViewTest, SystemSliderWhileMutedUnmutesThenSetsTheVolume) {
    auto view = makeView();
    SystemVolumeRow* row = view->systemVolumeRow();
    ASSERT_TRUE(row->isListening());
    row->muteButton()->click();
    pump();
    EXPECT_TRUE(service->getSystemMute());

    row->slider()->dragTo(0.3);
    EXPECT_FALSE(row->isSystemMuted());
    EXPECT_FALSE(service->getSystemMute());
    EXPECT_NEAR(service->getSystemVolume(), 0.3f, 1e-3);
    row->slider()->releaseDrag();
}

TEST_F(ContentViewTest, ExternalChangeDuringADragUpdatesMuteButNotTheSlider) {
    auto view = makeView();
    SystemVolumeRow* row = view->systemVolumeRow();
    row->slider()->dragTo(0.5);
    pump();
    ASSERT_TRUE(row->isDraggingVolume());

    // Someone else turns the output down and mutes it.
    service->setSystemVolume(0.9f);
    service->setSystemMute(true);
    pump();
    EXPECT_TRUE(row->isSystemMuted());
    EXPECT_DOUBLE_EQ(row->systemVolume(), 0.5);
    EXPECT_NEAR(row->slider()->valueF(), 0.5, 1e-3);

    row->slider()->releaseDrag();
    service->setSystemVolume(0.2f);
    pump();
    EXPECT_NEAR(row->systemVolume(), 0.2, 1e-3);
}

TEST_F(ContentViewTest, SettingsReplaceTheColumnAndStopTheVolumeListener) {
    auto view = makeView();
    ASSERT_TRUE(view->systemVolumeRow()->isListening());
    view->settingsButton()->click();
    pump();
    EXPECT_TRUE(view->isShowingSettings());
    EXPECT_FALSE(view->systemVolumeRow()->isListening());
    view->closeSettings();
    pump();
    EXPECT_TRUE(view->systemVolumeRow()->isListening());

    // The panel goes away with the settings open (the program quitting): nothing is built
    // while it is destroyed.
    view->settingsButton()->click();
    pump();
    view.reset();
    pump();
}

// The keyboard is never left on a control that went away: Settings start at Back, Back returns
// to the gear, and hiding an app hands the keyboard to the next row, else the system volume.
// The hidden apps then sit under a header that reads as expanded or collapsed.
TEST_F(ContentViewTest, KeyboardFocusFollowsEveryViewChange) {
    launch(201, "com.example.music", "Music");
    launch(202, "com.example.chat", "Chat");
    pump(2.0);
    auto view = makeView();
    ASSERT_EQ(view->rows().size(), 2u);
    view->rows()[0]->muteButton()->setFocus();
    view->rows()[0]->requestHide();
    pump();
    ASSERT_EQ(view->rows().size(), 1u);
    EXPECT_EQ(view->focusWidget(), view->rows()[0]->slider());
    view->rows()[0]->requestHide();
    pump();
    EXPECT_EQ(view->focusWidget(), view->systemVolumeRow()->slider());

    view->settingsButton()->click();
    EXPECT_EQ(view->focusWidget(), view->settingsView()->backButton());
    PaintedButton* header = nullptr;
    for (auto* button : view->settingsView()->findChildren<PaintedButton*>()) {
        if (button->accessibleName().startsWith("Hidden apps")) header = button;
    }
    ASSERT_NE(header, nullptr);
    EXPECT_TRUE(QAccessible::queryAccessibleInterface(header)->state().collapsed);
    header->click();
    EXPECT_TRUE(QAccessible::queryAccessibleInterface(header)->state().expanded);
    view->settingsView()->backButton()->click();
    pump();
    EXPECT_EQ(view->focusWidget(), view->settingsButton());
}

// Screen readers hear a slider in percent, and a change they make is the user's own.
TEST_F(ContentViewTest, SlidersSpeakPercentAndTakeAScreenReadersChange) {
    launch(201, "com.example.music", "Music");
    pump(2.0);
    auto view = makeView();
    const uint32_t id = row("com.example.music")->id;
    QAccessibleInterface* slider = QAccessible::queryAccessibleInterface(view->row(id)->slider());
    ASSERT_NE(slider->valueInterface(), nullptr);
    view->row(id)->slider()->setValueF(0.314);
    EXPECT_EQ(slider->role(), QAccessible::Slider);
    EXPECT_EQ(slider->text(QAccessible::Name), "Music volume");
    EXPECT_EQ(slider->text(QAccessible::Value), "31%");
    EXPECT_EQ(slider->valueInterface()->currentValue().toInt(), 31);
    EXPECT_EQ(slider->valueInterface()->maximumValue().toInt(), 100);
    slider->valueInterface()->setCurrentValue(45);
    EXPECT_FLOAT_EQ(row("com.example.music")->volume, 0.45f);

    // Volume above 100 %, turned on in the settings: the same slider runs to 200 % and a drag
    // that comes near 100 % stops there.
    view->openSettings();
    view->settingsView()->boostToggle()->click();
    view->closeSettings();
    pump();
    EXPECT_EQ(slider->valueInterface()->maximumValue().toInt(), 200);
    slider->valueInterface()->setCurrentValue(150);
    EXPECT_EQ(slider->text(QAccessible::Value), "150%");
    EXPECT_FLOAT_EQ(row("com.example.music")->volume, 1.5f);
    view->row(id)->slider()->dragTo(0.51);
    view->row(id)->slider()->releaseDrag();
    EXPECT_FLOAT_EQ(row("com.example.music")->volume, 1.0f);
}

TEST_F(ContentViewTest, ManyRowsStopGrowingAt400) {
    for (int i = 0; i < 12; ++i)
        launch(300 + i, "com.example.app" + std::to_string(i), "App " + std::to_string(i));
    pump(3.0);
    auto view = makeView();
    EXPECT_EQ(view->rows().size(), 12u);
    EXPECT_EQ(view->clientList()->height(), ContentView::kListMaxHeight);
}

}  // namespace
}  // namespace tobble::ui
