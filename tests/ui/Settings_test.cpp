#include <gtest/gtest.h>

#include <QKeyEvent>

#include "services/KeyboardShortcut.h"
#include "tests/ui/UiTestBed.h"
#include "ui/ContentView.h"
#include "ui/Controls.h"
#include "ui/SettingsView.h"
#include "ui/Shortcut.h"

namespace tobble::ui {
namespace {

class SettingsTest : public ::testing::Test, public testing::UiTestBed {
  protected:
    std::unique_ptr<SettingsView> makeSettings() {
        auto view = std::make_unique<SettingsView>(context, [this] { ++backs; });
        view->show();
        pump();
        return view;
    }
    // A key press as the application would deliver it to the focused widget.
    void press(QWidget& target, Qt::Key key, Qt::KeyboardModifiers modifiers) {
        QKeyEvent event(QEvent::KeyPress, key, modifiers);
        QCoreApplication::sendEvent(&target, &event);
        pump();
    }
    int backs = 0;
};

TEST(ShortcutSymbolsTest, ModifiersInControlOptionShiftCommandOrder) {
    const QStringList caps = shortcut::symbols(
        app::modifier::kCommand | app::modifier::kShift | app::modifier::kControl, "k");
    EXPECT_EQ(caps, (QStringList{shortcut::modifierSymbol(app::modifier::kControl),
                                 shortcut::modifierSymbol(app::modifier::kShift),
                                 shortcut::modifierSymbol(app::modifier::kCommand), "K"}));
#ifndef __APPLE__
    EXPECT_EQ(shortcut::modifierSymbol(app::modifier::kCommand), "Super");
    EXPECT_EQ(shortcut::modifierBits(Qt::MetaModifier | Qt::ShiftModifier), 0x120000);
#endif
}

TEST_F(SettingsTest, DefaultShortcutShowsShiftCommandT) {
    auto view = makeSettings();
    EXPECT_EQ(view->shownShortcutCaps(), shortcut::symbols(0x120000, "t"));
}

TEST_F(SettingsTest, ModifierAndLetterIsStoredAndAnnounced) {
    auto view = makeSettings();
    view->startRecordingShortcut();
    ASSERT_TRUE(view->isRecordingShortcut());
    press(*view, Qt::Key_K, Qt::MetaModifier | Qt::ShiftModifier);
    EXPECT_FALSE(view->isRecordingShortcut());
    EXPECT_EQ(defaults.integer(app::kShortcutModifiersKey), 0x120000);
    EXPECT_EQ(defaults.string(app::kShortcutKeyKey), "k");
    EXPECT_EQ(shell.shortcutChanges, 1);
    EXPECT_EQ(view->shownShortcutCaps().back(), "K");
}

TEST_F(SettingsTest, OptionLetterIsAcceptedByItsUnmodifiedKey) {
    auto view = makeSettings();
    view->startRecordingShortcut();
    press(*view, Qt::Key_A, Qt::AltModifier);
    EXPECT_EQ(defaults.integer(app::kShortcutModifiersKey), app::modifier::kOption);
    EXPECT_EQ(defaults.string(app::kShortcutKeyKey), "a");
}

TEST_F(SettingsTest, LetterAloneOrModifierDigitKeepsRecording) {
    auto view = makeSettings();
    view->startRecordingShortcut();
    press(*view, Qt::Key_K, Qt::NoModifier);
    press(*view, Qt::Key_1, Qt::MetaModifier);
    press(*view, Qt::Key_F5, Qt::MetaModifier);
    EXPECT_TRUE(view->isRecordingShortcut());
    EXPECT_FALSE(defaults.object(app::kShortcutKeyKey).has_value());
    EXPECT_EQ(shell.shortcutChanges, 0);
}

TEST_F(SettingsTest, EscapeKeepsTheOldShortcut) {
    defaults.setInteger(app::kShortcutModifiersKey, app::modifier::kControl);
    defaults.setString(app::kShortcutKeyKey, "m");
    auto view = makeSettings();
    view->startRecordingShortcut();
    press(*view, Qt::Key_Escape, Qt::NoModifier);
    EXPECT_FALSE(view->isRecordingShortcut());
    EXPECT_EQ(defaults.integer(app::kShortcutModifiersKey), app::modifier::kControl);
    EXPECT_EQ(defaults.string(app::kShortcutKeyKey), "m");
    EXPECT_EQ(shell.shortcutChanges, 0);
}

TEST_F(SettingsTest, ClosingSettingsRemovesTheMonitor) {
    const int before = ShortcutRecorder::installedCount();
    {
        auto view = makeSettings();
        view->startRecordingShortcut();
        EXPECT_EQ(ShortcutRecorder::installedCount(), before + 1);
        view->hide();
        EXPECT_EQ(ShortcutRecorder::installedCount(), before);
        EXPECT_FALSE(view->isRecordingShortcut());
        view->show();
        view->startRecordingShortcut();
    }
    EXPECT_EQ(ShortcutRecorder::installedCount(), before);
}

TEST_F(SettingsTest, HiddenAppsSectionFollowsTheStore) {
    auto view = makeSettings();
    EXPECT_FALSE(view->isHiddenAppsSectionShown());
    hiddenApps.hide("com.b", "Zoom");
    hiddenApps.hide("com.a", "Arc");
    pump();
    EXPECT_TRUE(view->isHiddenAppsSectionShown());
    EXPECT_EQ(view->hiddenAppLines(), (std::vector<std::string>{"com.a", "com.b"}));  // by name
    view->showHiddenApp("com.a");
    view->showHiddenApp("com.b");
    pump();
    EXPECT_FALSE(view->isHiddenAppsSectionShown());
    EXPECT_TRUE(app::HiddenAppsStore(defaults).hiddenApps().empty());  // persisted
}

TEST_F(SettingsTest, LaunchAtLoginShowsTheRealStateAndFailures) {
    shell.loginItem.current = LoginItemStatus::RequiresApproval;
    auto view = makeSettings();
    EXPECT_TRUE(view->launchAtLoginEnabled());
    EXPECT_EQ(SettingsView::statusText(view->loginStatus()),
              "Approval required in System Settings");

    shell.loginItem.failure = "Operation not permitted";
    view->launchToggle()->click();  // off
    EXPECT_EQ(view->errorMessage(), std::optional<std::string>("Operation not permitted"));
    EXPECT_TRUE(view->launchAtLoginEnabled());  // snapped back

    shell.loginItem.failure.reset();
    view->setLaunchAtLogin(false);
    EXPECT_FALSE(view->errorMessage().has_value());
    EXPECT_FALSE(view->launchAtLoginEnabled());
    EXPECT_EQ(SettingsView::statusText(view->loginStatus()), "Disabled");
}

TEST_F(SettingsTest, FooterPollsAccessibilityWhileShownAndOffersUpdates) {
    auto view = makeSettings();
    EXPECT_EQ(shell.accessibility.pollers, 1);
    EXPECT_TRUE(view->isGiveAccessShown());
    shell.accessibility.setGranted(true);
    EXPECT_FALSE(view->isGiveAccessShown());
    EXPECT_EQ(view->updateButtonText(), "Check for updates");
    view->updateButton()->click();
    EXPECT_EQ(shell.updates.checks, 1);
    view->hide();
    EXPECT_EQ(shell.accessibility.pollers, 0);
}

TEST_F(SettingsTest, DefaultVolumeIsWrittenAtOnce) {
    auto view = makeSettings();
    EXPECT_DOUBLE_EQ(view->defaultVolume(), 1.0);
    view->setDefaultVolume(0.25);
    EXPECT_DOUBLE_EQ(defaults.number("TobbleDefaultVolume"), 0.25);
}

}  // namespace
}  // namespace tobble::ui
