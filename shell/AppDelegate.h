#pragma once

#include <QObject>
#include <QPoint>
#include <QRect>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "platform/Environment.h"
#include "platform/log/Log.h"
#include "services/KeyboardShortcut.h"
#include "shell/AccessibilityManager.h"
#include "shell/GlobalInput.h"
#include "shell/InstanceLock.h"
#include "shell/Notifications.h"
#include "shell/SignalPipe.h"
#include "shell/UpdateObserver.h"

class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace tobble::engine {
class TAKEngine;
}
namespace tobble::app {
class AudioClientViewModel;
}

namespace tobble::shell {

class StatusNotifierItem;
class TobblePanel;

// The application's delegate: the launch and termination sequences, the single-instance lock,
// termination on signals, the tray item with its menu, the floating panel, the onboarding
// window, the keyboard shortcut and the accessibility watch. Main-thread object.
class AppDelegate final : public QObject {
    Q_OBJECT
  public:
    struct Dependencies {
        Environment environment;  // main queue, timers and the defaults domain
        engine::TAKEngine& engine;
        app::AudioClientViewModel& viewModel;
        UpdateObserver& updateObserver;
        AccessibilityManager& accessibility;
        NotificationCenter& notifications;
        std::unique_ptr<GlobalShortcutGrab> globalShortcut;
        std::unique_ptr<GlobalClickMonitor> clickMonitor;
        // Escape for the open panel. The panel opens without taking the keyboard from the
        // application in front, so while it is open Escape is taken globally, as a key panel
        // would take it; optional.
        std::unique_ptr<GlobalShortcutGrab> escapeGrab;
        // A fresh panel content on every open; the onboarding content with its dismissal.
        std::function<std::unique_ptr<QWidget>()> makePanelContent;
        std::function<std::unique_ptr<QWidget>(std::function<void()> onDismiss)> makeOnboarding;
        // Where ".instance.lock" lives.
        std::filesystem::path instanceLockDirectory;
        // Ends the process after a termination signal (std::exit by default).
        std::function<void(int status)> exitProcess;
        // The area the panel centres on; by default the available area of the screen the
        // pointer (or the tray icon clicked) is on.
        std::function<QRect()> screenArea;
        // Receives the two single-instance console messages (stderr by default).
        std::function<void(const std::string&)> console;
        // Whether a tray shows the status item now (Qt's answer by default). Without one the
        // panel is an ordinary window, opened at launch.
        std::function<bool()> trayAvailable;
        bool isRunningTests = false;
        // Started at login: without a tray the panel waits for the user to ask for it (from the
        // application menu, which starts Tobble again) instead of opening by itself.
        bool startedAtLogin = false;
    };

    static constexpr dispatch::Seconds kAccessibilityWatchInterval = 30.0;
    static constexpr const char* kOnboardingCompletedKey = "onboardingCompleted";
    // The installed symbolic icon the tray host colours for its bar.
    static constexpr const char* kTrayIconName = "tobble-symbolic";
    static constexpr const char* kAutomaticChecksKey = "SUEnableAutomaticChecks";
    static constexpr const char* kRevokedMessage =
        "Accessibility permission revoked; global shortcut monitor removed";

    explicit AppDelegate(Dependencies dependencies);
    ~AppDelegate() override;

    // The launch sequence. False when another instance runs: the caller ends the process
    // before anything is shown.
    bool applicationDidFinishLaunching();
    // The termination sequence (Quit, or the application quitting).
    void applicationWillTerminate();

    // ---- actions
    // A click on the tray icon; `at` is where on the screen, when the tray says.
    void statusItemLeftClicked(std::optional<QPoint> at = std::nullopt);
    void togglePopover();
    // Opens the panel on the screen of `near` (the pointer's when absent) and gives it the
    // keyboard.
    void openPanel(std::optional<QPoint> near = std::nullopt);
    void closePanel();
    void enableSticky();
    void hideStickyPanel();
    void quitApp();
    // The context menu as it is right now: "Sticky" or "Hide" while the panel is visible, then
    // "Quit Tobble".
    std::unique_ptr<QMenu> buildContextMenu();
    void postOnboardingSetup();
    // The global click watch saw a press at `position`.
    void handleGlobalClick(QPoint position);
    // The settings stored a new shortcut.
    void shortcutDidChange();
    // Why the stored shortcut does not work although this session allows global shortcuts
    // (another program holds it); nothing when it works or cannot work here at all.
    std::optional<std::string> shortcutProblem() const { return shortcutProblem_; }
    // The desktop switched between light and dark: an open panel is rebuilt in the new colours.
    void appearanceChanged();
    // No tray shows the status item: the panel is the way in.
    bool isWithoutTray() const;

    // ---- state, for the views and tests
    bool isPanelVisible() const;
    bool isSticky() const { return isSticky_; }
    bool isAudioRouted() const { return isAudioRouted_; }
    bool isRunningTests() const { return isRunningTests_; }
    bool isOnboardingShown() const { return onboardingWindow_ != nullptr; }
    bool isClickMonitorInstalled() const;
    bool isLocalKeyMonitorInstalled() const { return localKeyMonitor_ != nullptr; }
    bool isGlobalKeyMonitorInstalled() const;
    bool hasAccessibilityWatch() const { return accessibilityPollTimer_ != nullptr; }
    TobblePanel* panel() const { return panel_.get(); }
    QWidget* onboardingWindow() const { return onboardingWindow_.get(); }
    QSystemTrayIcon* statusItem() const { return statusItem_.get(); }

    // The accessibility watch's tick, as its timer runs it.
    void checkAccessibility();

  signals:
    // The panel was shown or hidden.
    void panelVisibilityChanged(bool visible);

  private:
    class KeyFilter;
    class PaletteWatch;

    bool acquireInstanceLock();
    void installSignalHandlers();
    void handleTerminationSignal();
    void createStatusItem();
    void updateTrayIcons();
    void showTrayMenu(QPoint at);
    void installKeyboardShortcutMonitors();
    void removeKeyboardShortcutMonitors();
    void removeGlobalKeyMonitor();
    void observeShortcutChanges();
    void observeAccessibilityGrant();
    void showAccessibilityOnboarding();
    void dismissOnboarding();
    void toggleFromShortcut();
    QRect screenArea(std::optional<QPoint> near = std::nullopt) const;

    Dependencies deps_;
    const log::Logger logger_;
    InstanceLock instanceLock_;
    SignalPipe signalPipe_;

    std::unique_ptr<QSystemTrayIcon> statusItem_;
    std::unique_ptr<QMenu> trayMenu_;
    std::unique_ptr<TobblePanel> panel_;
    std::unique_ptr<KeyFilter> localKeyMonitor_;
    std::unique_ptr<PaletteWatch> paletteWatch_;
    NotificationCenter::Token shortcutChangeObserver_;
    NotificationCenter::Token accessibilityObserver_;
    dispatch::TimerPtr accessibilityPollTimer_;
    bool wasAccessibilityTrusted_ = false;
    std::unique_ptr<QWidget> onboardingWindow_;
    bool isSticky_ = false;
    const bool isRunningTests_;
    bool isAudioRouted_ = false;
    std::optional<std::string> shortcutProblem_;
    std::unique_ptr<StatusNotifierItem> trayItem_;
    std::unique_ptr<QMenu> trayPopup_;
    bool trayHostPresent_ = false;
    bool terminated_ = false;
    double lastClickElsewhereClose_ = -1.0;
};

// A key press as the shortcut sees it, from a Qt key event's key and modifiers.
KeyPress keyPressFromQt(int key, Qt::KeyboardModifiers modifiers);

}  // namespace tobble::shell
