#include <gtest/gtest.h>

#include <QKeyEvent>
#include <cmath>

#include "services/KeyboardShortcut.h"
#include "services/VolumeStore.h"
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

// A modifier with a letter is stored, announced and shown, its caps in Ctrl, Alt, Shift, Super
// order; a letter with Alt is taken by its unmodified key.
TEST_F(SettingsTest, ModifierAndLetterIsStoredAnnouncedAndShown) {
    using namespace app::modifier;
    struct Case {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        int64_t bits;
        std::string stored;
        QStringList caps;
    };
    for (const Case& c : std::initializer_list<Case>{
             {Qt::Key_K,
              Qt::MetaModifier | Qt::ShiftModifier,
              kCommand | kShift,
              "k",
              {"\u21e7", "Super", "K"}},
             {Qt::Key_A, Qt::AltModifier, kOption, "a", {"Alt", "A"}},
             {Qt::Key_K,
              Qt::MetaModifier | Qt::ShiftModifier | Qt::ControlModifier,
              kControl | kShift | kCommand,
              "k",
              {"Ctrl", "\u21e7", "Super", "K"}},
         }) {
        auto view = makeSettings();
        const int changes = shell.shortcutChanges;
        view->startRecordingShortcut();
        press(*view, c.key, c.modifiers);
        EXPECT_FALSE(view->isRecordingShortcut());
        EXPECT_EQ(defaults.integer(app::kShortcutModifiersKey), c.bits);
        EXPECT_EQ(defaults.string(app::kShortcutKeyKey), c.stored);
        EXPECT_EQ(shell.shortcutChanges, changes + 1);
        EXPECT_EQ(view->shownShortcutCaps(), c.caps);
    }
}

// A letter alone, a digit or a function key keeps it recording; Escape ends it and keeps the
// old shortcut.
TEST_F(SettingsTest, OnlyEscapeEndsRecordingWithoutAShortcut) {
    defaults.setInteger(app::kShortcutModifiersKey, app::modifier::kControl);
    defaults.setString(app::kShortcutKeyKey, "m");
    auto view = makeSettings();
    view->startRecordingShortcut();
    press(*view, Qt::Key_K, Qt::NoModifier);
    press(*view, Qt::Key_1, Qt::MetaModifier);
    press(*view, Qt::Key_F5, Qt::MetaModifier);
    EXPECT_TRUE(view->isRecordingShortcut());
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
    // A build tree's program cannot start at login; the row says how to get one that can.
    EXPECT_TRUE(SettingsView::statusText(LoginItemStatus::NotFound).contains("install"));
    shell.loginItem.current = LoginItemStatus::Enabled;
    auto view = makeSettings();
    EXPECT_TRUE(view->launchAtLoginEnabled());
    EXPECT_EQ(SettingsView::statusText(view->loginStatus()), "Enabled");

    shell.loginItem.failure = "Operation not permitted";
    view->launchToggle()->click();  // off
    EXPECT_EQ(view->errorMessage(), std::optional<std::string>("Operation not permitted"));
    EXPECT_TRUE(view->launchAtLoginEnabled());  // snapped back

    shell.loginItem.failure.reset();
    view->launchToggle()->click();
    EXPECT_FALSE(view->errorMessage().has_value());
    EXPECT_FALSE(view->launchAtLoginEnabled());
    EXPECT_EQ(SettingsView::statusText(view->loginStatus()), "Disabled");
}

// Where the session allows no global shortcut of Tobble's own, the shortcut row explains how to
// bind the desktop's own and copies the command; where one is possible but taken, it says so.
TEST_F(SettingsTest, ShortcutRowSaysWhyTheShortcutDoesNotWork) {
    auto view = makeSettings();
    EXPECT_EQ(shell.accessibility.pollers, 1);
    EXPECT_TRUE(view->isShortcutHelpShown());
    view->copyCommandButton()->click();
    EXPECT_EQ(shell.clipboard, kPanelToggleCommand);
    EXPECT_TRUE(shell.openedURLs.empty());

    shell.shortcutProblem = "Shift+Super+T is taken by another program";
    shell.accessibility.setGranted(true);
    EXPECT_FALSE(view->isShortcutHelpShown());
    EXPECT_EQ(view->shortcutNoteText(), "Shift+Super+T is taken by another program");
    shell.shortcutProblem.reset();
    shell.accessibility.setGranted(true);
    EXPECT_TRUE(view->shortcutNoteText().isEmpty());

    // A key the keyboard cannot produce is refused, and the old shortcut stays.
    shell.shortcutsBindable = false;
    view->startRecordingShortcut();
    press(*view, Qt::Key_K, Qt::MetaModifier);
    EXPECT_EQ(view->shownShortcutCaps(), (QStringList{"\u21e7", "Super", "T"}));
    EXPECT_FALSE(view->shortcutNoteText().isEmpty());
    EXPECT_EQ(shell.shortcutChanges, 0);

    view->quitButton()->click();
    EXPECT_EQ(shell.quits, 1);
    view->hide();
    EXPECT_EQ(shell.accessibility.pollers, 0);
}

TEST_F(SettingsTest, FooterOffersUpdates) {
    auto view = makeSettings();
    EXPECT_EQ(view->updateButtonText(), "Check for updates");
    view->updateButton()->click();
    EXPECT_EQ(shell.updates.checks, 1);
}

TEST_F(SettingsTest, DefaultVolumeIsWrittenAtOnce) {
    auto view = makeSettings();
    EXPECT_DOUBLE_EQ(view->defaultVolume(), 1.0);
    auto* slider = view->findChild<Slider*>();  // the settings' only slider
    ASSERT_NE(slider, nullptr);
    slider->dragTo(0.25);
    EXPECT_DOUBLE_EQ(defaults.number("TobbleDefaultVolume"), 0.25);
    slider->releaseDrag();
}

TEST_F(SettingsTest, ShownDefaultVolumeIsTheOneNewApplicationsGet) {
    for (const auto& stored :
         {system::DefaultsValue{std::nan("")}, system::DefaultsValue{std::string("0.5")}}) {
        defaults.set("TobbleDefaultVolume", stored);
        EXPECT_EQ(makeSettings()->defaultVolume(), app::VolumeStore::defaultVolume(defaults));
    }
}

}  // namespace
}  // namespace tobble::ui
