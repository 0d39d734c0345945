#include <gtest/gtest.h>

#include "tests/ui/UiTestBed.h"
#include "ui/AccessibilityOnboardingView.h"
#include "ui/Controls.h"

namespace tobble::ui {
namespace {

class OnboardingTest : public ::testing::Test, public testing::UiTestBed {
  protected:
    std::unique_ptr<AccessibilityOnboardingView> makeView() {
        auto view = std::make_unique<AccessibilityOnboardingView>(shell.hooks, dispatcher,
                                                                  [this] { ++dismissals; });
        view->show();
        pump();
        return view;
    }
    void click(PaintedButton* button) {
        ASSERT_NE(button, nullptr);
        button->click();
        pump(0.0);
    }
    int dismissals = 0;
};

// Where no global shortcut is possible the first step hands over the command to bind and moves
// on; nothing waits for a grant that cannot come, and no web page opens.
TEST_F(OnboardingTest, WithoutGlobalShortcutsStepOneCopiesTheCommandAndMovesOn) {
    auto view = makeView();
    EXPECT_EQ(view->primaryTitle(), "Copy Command");
    click(view->primaryButton());
    EXPECT_EQ(shell.clipboard, kPanelToggleCommand);
    EXPECT_EQ(view->stepStatus(1), StepStatus::enabled);
    EXPECT_EQ(view->activeStep(), 2);
    EXPECT_EQ(shell.accessibility.settingsOpened, 0);
    EXPECT_TRUE(shell.openedURLs.empty());
}

TEST_F(OnboardingTest, GrantOnStepOneAdvancesAfter0_8Seconds) {
    auto view = makeView();
    shell.accessibility.setGranted(true);
    EXPECT_EQ(view->stepStatus(1), StepStatus::enabled);
    pump(0.7);
    EXPECT_EQ(view->activeStep(), 1);
    pump(0.15);
    EXPECT_EQ(view->activeStep(), 2);
}

TEST_F(OnboardingTest, LaterHeadersAreInertEarlierOnesReopen) {
    auto view = makeView();
    EXPECT_FALSE(view->stepHeader(2)->isEnabled());
    EXPECT_FALSE(view->stepHeader(3)->isEnabled());
    click(view->secondaryButton());  // skip step 1
    ASSERT_EQ(view->activeStep(), 2);
    EXPECT_TRUE(view->stepHeader(1)->isEnabled());
    EXPECT_FALSE(view->stepHeader(3)->isEnabled());
    click(view->stepHeader(1));
    EXPECT_EQ(view->activeStep(), 1);
    EXPECT_EQ(view->stepStatus(1), StepStatus::skipped);
}

TEST_F(OnboardingTest, SkippingEverythingUnregistersAndTurnsChecksOffOnConfirm) {
    shell.loginItem.current = LoginItemStatus::Enabled;
    auto view = makeView();
    click(view->secondaryButton());
    click(view->secondaryButton());
    click(view->secondaryButton());
    ASSERT_EQ(view->activeStep(), 4);
    // Nothing is applied before "Confirm".
    EXPECT_TRUE(shell.loginItem.calls.empty());
    EXPECT_EQ(shell.updates.automaticWrites, 0);
    EXPECT_EQ(dismissals, 0);

    click(view->confirmButton());
    EXPECT_EQ(shell.loginItem.calls, std::vector<std::string>{"unregister"});
    EXPECT_FALSE(shell.updates.automatic);
    EXPECT_EQ(dismissals, 1);
}

TEST_F(OnboardingTest, AcceptingRegistersAndEnablesChecks) {
    shell.accessibility.granted = true;
    auto view = makeView();
    EXPECT_EQ(view->primaryTitle(), "Continue");
    click(view->primaryButton());
    click(view->primaryButton());
    click(view->primaryButton());
    click(view->backButton());
    EXPECT_EQ(view->activeStep(), 3);
    click(view->primaryButton());
    click(view->confirmButton());
    EXPECT_EQ(shell.loginItem.calls, std::vector<std::string>{"register"});
    EXPECT_TRUE(shell.updates.automatic);
    EXPECT_EQ(shell.updates.automaticWrites, 1);
}

TEST_F(OnboardingTest, NotRegisteredLoginItemIsLeftAloneAndNoUpdaterDropsTheChoice) {
    shell.updates.present = false;
    auto view = makeView();
    for (int i = 0; i < 3; ++i) click(view->secondaryButton());
    click(view->confirmButton());
    EXPECT_TRUE(shell.loginItem.calls.empty());
    EXPECT_EQ(shell.updates.automaticWrites, 0);
}

}  // namespace
}  // namespace tobble::ui
