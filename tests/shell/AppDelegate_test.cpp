#include <gtest/gtest.h>
#include <signal.h>

#include <QAction>
#include <QKeyEvent>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>

#include "shell/TobblePanel.h"
#include "tests/shell/ShellTestBed.h"
#include "ui/AppRowView.h"

namespace tobble::shell {
namespace {

using testing::ShellTestBed;

QStringList titles(QMenu& menu) {
    QStringList out;
    for (QAction* action : menu.actions()) out << action->text();
    return out;
}

void trigger(QMenu& menu, const QString& title) {
    for (QAction* action : menu.actions()) {
        if (action->text() == title) action->trigger();
    }
}

class AppDelegateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bed.defaults.setBoolean(AppDelegate::kOnboardingCompletedKey, true);
        ASSERT_TRUE(bed.delegate->applicationDidFinishLaunching());
        bed.settle();
    }

    ShellTestBed bed;
};

TEST_F(AppDelegateTest, LaunchRoutesAudioAndRegistersTheUpdateDefault) {
    EXPECT_TRUE(bed.engine->isStarted());
    EXPECT_TRUE(bed.viewModel->isStarted());
    EXPECT_TRUE(bed.defaults.boolean(AppDelegate::kAutomaticChecksKey));
    EXPECT_TRUE(bed.updateObserver.isObservingWindows());
    ASSERT_NE(bed.delegate->statusItem(), nullptr);
    EXPECT_FALSE(bed.delegate->statusItem()->icon().isNull());
}

TEST_F(AppDelegateTest, ContextMenuFollowsThePanelState) {
    EXPECT_EQ(titles(*bed.delegate->buildContextMenu()), QStringList{"Quit Tobble"});

    bed.delegate->statusItemLeftClicked();
    ASSERT_TRUE(bed.delegate->isPanelVisible());
    auto open = bed.delegate->buildContextMenu();
    EXPECT_EQ(titles(*open), (QStringList{"Sticky", "Quit Tobble"}));

    trigger(*open, "Sticky");
    EXPECT_TRUE(bed.delegate->isSticky());
    // Sticky hands Escape back to the other applications.
    EXPECT_FALSE(bed.escape->isInstalled());
    auto sticky = bed.delegate->buildContextMenu();
    EXPECT_EQ(titles(*sticky), (QStringList{"Hide", "Quit Tobble"}));

    trigger(*sticky, "Hide");
    EXPECT_FALSE(bed.delegate->isPanelVisible());
    EXPECT_FALSE(bed.delegate->isSticky());
}

TEST_F(AppDelegateTest, ClickElsewhereClosesUnlessSticky) {
    bed.delegate->openPanel();
    bed.clicks->click(bed.delegate->panel()->geometry().center());
    EXPECT_TRUE(bed.delegate->isPanelVisible()) << "a click on the panel itself keeps it";

    trigger(*bed.delegate->buildContextMenu(), "Sticky");
    bed.clicks->click(QPoint(2, 2));
    EXPECT_TRUE(bed.delegate->isPanelVisible());

    // The global shortcut toggles it; closing clears stickiness, so the next open closes on a
    // click elsewhere again.
    for (int i = 0; i < 2; ++i) {
        bed.grab->press();
        bed.settle();
    }
    ASSERT_TRUE(bed.delegate->isPanelVisible());
    bed.clicks->click(QPoint(2, 2));
    EXPECT_FALSE(bed.delegate->isPanelVisible());
}

TEST_F(AppDelegateTest, TrayClickRightAfterAClickElsewhereDoesNotReopen) {
    bed.delegate->openPanel();
    bed.clicks->click(QPoint(2, 2));        // the press on the tray icon closes the panel...
    bed.delegate->statusItemLeftClicked();  // ...and its release must not reopen it
    EXPECT_FALSE(bed.delegate->isPanelVisible());
    bed.settle(1.0);
    bed.delegate->statusItemLeftClicked();
    EXPECT_TRUE(bed.delegate->isPanelVisible());
}

// Escape closes the panel whether it reaches the panel or, taken globally only while the panel
// is open, another application's window; closing stops the level poll and drops the content.
TEST_F(AppDelegateTest, EscapeInThePanelOrElsewhereClosesIt) {
    EXPECT_FALSE(bed.escape->isInstalled());
    bed.delegate->openPanel();
    EXPECT_TRUE(bed.viewModel->isPanelOpen());
    ASSERT_NE(bed.delegate->panel()->content(), nullptr);
    QTest::keyClick(bed.delegate->panel(), Qt::Key_Escape);
    EXPECT_FALSE(bed.delegate->isPanelVisible());
    EXPECT_FALSE(bed.viewModel->isPanelOpen());
    EXPECT_EQ(bed.delegate->panel()->content(), nullptr);
    EXPECT_FALSE(bed.escape->isInstalled());

    bed.delegate->openPanel();
    ASSERT_TRUE(bed.escape->isInstalled());
    EXPECT_EQ(*bed.escape->installed, (KeyboardShortcut{0, kEscapeKey}));
    bed.escape->press();
    EXPECT_FALSE(bed.delegate->isPanelVisible());
    EXPECT_FALSE(bed.escape->isInstalled());
}

TEST_F(AppDelegateTest, PanelIsCentredAndKeepsItsCentreAsContentChanges) {
    bed.delegate->openPanel();
    TobblePanel* panel = bed.delegate->panel();
    EXPECT_EQ(panel->geometry(), QRect(340, 300, 320, 200));  // centred in 1000 x 800

    bed.content->setPreferred(QSize(320, 300));
    bed.settle();
    EXPECT_EQ(panel->geometry(), QRect(340, 250, 320, 300));
    bed.content->setPreferred(QSize(320, 100));
    bed.settle();
    EXPECT_EQ(panel->geometry(), QRect(340, 350, 320, 100));
    // Never taller than the screen area, whatever the content asks for.
    bed.content->setPreferred(QSize(320, 20000));
    bed.settle();
    EXPECT_EQ(panel->geometry(), QRect(340, 0, 320, 800));
}

// A row's context menu is open when the panel closes under it, by each route that closes it:
// the menu goes with the row, and nothing is left to call the deleted row.
TEST_F(AppDelegateTest, ClosingThePanelUnderAnOpenRowMenuIsSafe) {
    using Route = std::function<void()>;
    const std::vector<std::pair<const char*, Route>> routes = {
        {"Escape in the panel", [&] { QTest::keyClick(bed.delegate->panel(), Qt::Key_Escape); }},
        // The first Escape closes the menu, the second the panel.
        {"Escape taken globally",
         [&] {
             bed.escape->press();
             bed.escape->press();
         }},
        {"the shortcut", [&] { bed.grab->press(); }},
        {"a script", [&] { bed.delegate->closePanel(); }},
        {"the tray icon", [&] { bed.delegate->statusItemLeftClicked(); }},
    };
    ui::AppRowView* row = nullptr;
    int hides = 0;
    bed.makeContent = [&] {
        app::AudioClientViewModel::AppClient client;
        client.name = "Music";
        auto widget = std::make_unique<ui::AppRowView>(
            client, ui::AppRowView::Callbacks{.onHide = [&] { ++hides; }});
        row = widget.get();
        return widget;
    };
    for (const auto& [name, close] : routes) {
        bed.delegate->openPanel();
        ASSERT_NE(row, nullptr);
        row->openContextMenu(QPoint(10, 10));
        QPointer<QMenu> menu = row->openMenu();
        ASSERT_NE(menu, nullptr);
        close();
        bed.settle();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_FALSE(bed.delegate->isPanelVisible()) << name;
        EXPECT_TRUE(menu.isNull() || !menu->isVisible()) << name;
        if (menu) menu->actions().front()->trigger();  // a late choice reaches no row
        EXPECT_EQ(hides, 0) << name;
    }
}

TEST_F(AppDelegateTest, ShortcutInsideTheAppTogglesAndIsNotDeliveredToTheViews) {
    bed.delegate->openPanel();
    auto* target = bed.content;
    QKeyEvent press(QEvent::KeyPress, Qt::Key_T, Qt::MetaModifier | Qt::ShiftModifier, "T");
    QCoreApplication::sendEvent(target, &press);
    EXPECT_EQ(target->keyPresses, 0);
    bed.settle();
    EXPECT_FALSE(bed.delegate->isPanelVisible());

    QKeyEvent other(QEvent::KeyPress, Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier, "T");
    QCoreApplication::sendEvent(bed.delegate->panel(), &other);
    bed.settle();
    EXPECT_FALSE(bed.delegate->isPanelVisible());
}

TEST_F(AppDelegateTest, NewShortcutWorksAtOnceAndTheOldStops) {
    ASSERT_EQ(bed.grab->installed->key, "t");
    bed.defaults.setInteger(kShortcutModifiersKey, modifier::kControl | modifier::kOption);
    bed.defaults.setString(kShortcutKeyKey, "m");
    bed.notifications.post(kShortcutDidChangeNotification);
    ASSERT_TRUE(bed.grab->installed.has_value());
    EXPECT_EQ(*bed.grab->installed,
              (KeyboardShortcut{modifier::kControl | modifier::kOption, "m"}));

    auto send = [&](int key, Qt::KeyboardModifiers mods) {
        QWidget probe;
        QKeyEvent press(QEvent::KeyPress, key, mods);
        QCoreApplication::sendEvent(&probe, &press);
        bed.settle();
    };
    send(Qt::Key_T, Qt::MetaModifier | Qt::ShiftModifier);
    EXPECT_FALSE(bed.delegate->isPanelVisible());
    send(Qt::Key_M, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_TRUE(bed.delegate->isPanelVisible());
}

TEST_F(AppDelegateTest, WatchRemovesTheGlobalGrabOnRevocationAndRestoresItOnGrant) {
    bed.trusted = false;
    bed.settle(AppDelegate::kAccessibilityWatchInterval);
    EXPECT_FALSE(bed.delegate->isGlobalKeyMonitorInstalled());
    EXPECT_TRUE(bed.delegate->isLocalKeyMonitorInstalled());
    bed.settle(AppDelegate::kAccessibilityWatchInterval);
    EXPECT_EQ(bed.capture->count(AppDelegate::kRevokedMessage), 1u) << "logged once";

    bed.trusted = true;
    bed.settle(AppDelegate::kAccessibilityWatchInterval);
    EXPECT_TRUE(bed.delegate->isGlobalKeyMonitorInstalled());

    // A grant the accessibility manager announces reinstalls without waiting for the watch.
    const int before = bed.grab->installs;
    bed.notifications.post(kAccessibilityGrantedNotification);
    EXPECT_EQ(bed.grab->installs, before + 1);
}

TEST_F(AppDelegateTest, TerminationStopsEverything) {
    bed.playMusic();
    ASSERT_FALSE(bed.audio.aggregates().empty());
    bed.delegate->applicationWillTerminate();
    EXPECT_TRUE(bed.audio.aggregates().empty());
    EXPECT_FALSE(bed.viewModel->isStarted());
    EXPECT_FALSE(bed.grab->isInstalled());
    EXPECT_FALSE(bed.delegate->hasAccessibilityWatch());
    EXPECT_EQ(bed.notifications.observerCount(kShortcutDidChangeNotification), 0u);
    EXPECT_EQ(bed.notifications.observerCount(kAccessibilityGrantedNotification), 0u);
}

TEST_F(AppDelegateTest, SigtermStopsTheEngineAndExitsZeroWithoutTheTerminationSequence) {
    bed.playMusic();
    ASSERT_FALSE(bed.audio.taps().empty());

    ::raise(SIGTERM);
    for (int i = 0; i < 100 && bed.exits.empty(); ++i) bed.settle();

    ASSERT_EQ(bed.exits, std::vector<int>{0});
    EXPECT_TRUE(bed.audio.aggregates().empty());
    EXPECT_TRUE(bed.audio.taps().empty());
    EXPECT_EQ(bed.audio.ioProcCount(), 0u);
    // The normal sequence did not run: the view model and the monitors are still there.
    EXPECT_TRUE(bed.viewModel->isStarted());
    EXPECT_TRUE(bed.grab->isInstalled());
}

// Without a tray the panel is an ordinary window, opened at a start from the application menu
// but not at a start at login, where it waits to be asked for.
TEST(AppDelegateWithoutTray, ThePanelIsAWindowOpenedAtAStartFromTheMenu) {
    for (bool atLogin : {false, true}) {
        ShellTestBed bed(false, atLogin);
        bed.defaults.setBoolean(AppDelegate::kOnboardingCompletedKey, true);
        ASSERT_TRUE(bed.delegate->applicationDidFinishLaunching());
        bed.settle();
        EXPECT_EQ(bed.delegate->isPanelVisible(), !atLogin);
        bed.delegate->openPanel();
        EXPECT_TRUE(bed.delegate->panel()->isWindowed());
        EXPECT_FALSE(bed.clicks->isRunning());  // a window stays until closed
        EXPECT_FALSE(bed.escape->isInstalled());
    }
}

// The guide is shown at a first start whether or not the shortcut can work there.
TEST(AppDelegateOnboarding, RoutingWaitsForTheOnboardingAndTrayClicksDoNothingMeanwhile) {
    for (bool trusted : {false, true}) {
        ShellTestBed bed;
        bed.trusted = trusted;
        ASSERT_TRUE(bed.delegate->applicationDidFinishLaunching());
        bed.settle(1.0);
        EXPECT_TRUE(bed.delegate->isOnboardingShown());
        EXPECT_FALSE(bed.engine->isStarted());

        bed.delegate->statusItemLeftClicked();
        bed.grab->press();
        bed.settle();
        EXPECT_FALSE(bed.delegate->isPanelVisible());

        ASSERT_TRUE(bed.dismissOnboarding);
        bed.dismissOnboarding();
        bed.settle();
        EXPECT_FALSE(bed.delegate->isOnboardingShown());
        EXPECT_TRUE(bed.defaults.boolean(AppDelegate::kOnboardingCompletedKey));
        EXPECT_TRUE(bed.engine->isStarted());
        EXPECT_TRUE(bed.delegate->isAudioRouted());
        bed.delegate->statusItemLeftClicked();
        EXPECT_TRUE(bed.delegate->isPanelVisible());
    }
}

}  // namespace
}  // namespace tobble::shell
