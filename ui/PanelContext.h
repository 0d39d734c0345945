#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Environment.h"

class QWidget;

namespace tobble::app {
class AudioClientViewModel;
class TobbleAudioService;
class HiddenAppsStore;
}  // namespace tobble::app

namespace tobble::ui {

// What the views need from the application shell, as plain interfaces: the shell implements them
// over the desktop (accessibility, login item, updater, browser), tests and tobble-snapshot over
// fakes. Every call is made on the main thread; every callback is expected there too.

// Keeps a subscription alive; dropping it ends the subscription.
using Subscription = std::shared_ptr<void>;

class AccessibilityPermission {
  public:
    virtual ~AccessibilityPermission() = default;

    // Whether the keyboard shortcut can be watched in other applications.
    virtual bool isGranted() const = 0;
    // Re-reads the permission now; observers hear about a change.
    virtual void refresh() = 0;
    // Reference-counted fast polling while a view that shows the permission is on screen.
    virtual void startPolling() = 0;
    virtual void stopPolling() = 0;
    // Opens the desktop's settings page where the user grants the permission.
    virtual void openSettings() = 0;
    // Called with the new value whenever isGranted() changes.
    [[nodiscard]] virtual Subscription observe(std::function<void(bool granted)> changed) = 0;
};

enum class LoginItemStatus { NotRegistered, Enabled, RequiresApproval, NotFound, Unknown };

class LoginItem {
  public:
    virtual ~LoginItem() = default;

    virtual LoginItemStatus status() const = 0;
    // Each returns the failure's user-readable description, or nothing on success.
    virtual std::optional<std::string> registerItem() = 0;
    virtual std::optional<std::string> unregisterItem() = 0;
};

class Updates {
  public:
    virtual ~Updates() = default;

    // False when the build has no updater: the update buttons then do nothing and the
    // onboarding's automatic-check choice is dropped.
    virtual bool hasUpdater() const = 0;
    // A user-initiated check with the updater's own interface.
    virtual void checkForUpdates() = 0;
    virtual bool automaticChecks() const = 0;
    virtual void setAutomaticChecks(bool enabled) = 0;
    virtual bool updateAvailable() const = 0;
    [[nodiscard]] virtual Subscription observeUpdateAvailable(
        std::function<void(bool)> changed) = 0;
};

// The shell's side of the panel and of the onboarding window.
struct ShellHooks {
    AccessibilityPermission& accessibility;
    LoginItem& loginItem;
    Updates& updates;

    // Opens an address in the default browser.
    std::function<void(const std::string& url)> openURL;
    // The settings stored a new shortcut under "TobbleShortcutModifiers" / "TobbleShortcutKey"
    // ("tobbleShortcutDidChange"): re-install the key monitors.
    std::function<void()> shortcutDidChange;
    // The content's preferred size changed (rows came or went, settings opened): resize the
    // window around its centre to the widget's sizeHint().
    std::function<void()> preferredSizeChanged;

    // Shown in the settings' information popover; empty shows "?".
    std::string appVersion;
    std::string buildNumber;

    // Ends the program: the settings' "Quit Tobble", the way out where no tray menu offers it.
    std::function<void()> quit;
    // Puts text on the desktop's clipboard.
    std::function<void(const std::string& text)> copyToClipboard;
    // Why the stored shortcut does not work although this session allows global shortcuts
    // (another program holds it); nothing when it works. Absent: it always works.
    std::function<std::optional<std::string>()> shortcutProblem;
    // Whether a key with these modifiers can be bound on this keyboard. Absent: any can.
    std::function<bool(int64_t modifiers, const std::string& key)> canBindShortcut;
};

// The command a desktop's own keyboard settings can bind where Tobble cannot take a global
// shortcut itself (a Wayland session without the shortcuts portal).
inline constexpr const char* kPanelToggleCommand = "tobblectl panel toggle";

// Everything the panel content presents. The referenced objects outlive the content widget.
struct PanelContext {
    // Main queue and clock (delayed UI work, "now" for the banner and the tagline), the audio
    // hardware (the picker reads and writes the default output) and the user defaults.
    Environment environment;
    app::AudioClientViewModel& viewModel;
    app::TobbleAudioService& audioService;
    app::HiddenAppsStore& hiddenApps;
    ShellHooks& shell;
};

// The panel's content: header, banner, system volume, rows or empty state, output picker, and
// the settings in its place when opened. Build a fresh one each time the panel opens and delete
// it when the panel closes (its listeners live exactly as long as the widget). Fixed 320 pt wide,
// its height follows the rows; transparent outside its rounded 12 pt corners.
std::unique_ptr<QWidget> makeContentView(PanelContext& context, QWidget* parent = nullptr);

// The first-run guide (accessibility, launch at login, automatic updates), 280 pt wide. Nothing
// is written before its "Confirm"; then the choices are applied and `onDismiss` is called.
// The dispatcher's main queue runs the automatic advance 0.8 s after a grant.
std::unique_ptr<QWidget> makeOnboardingView(ShellHooks& shell, dispatch::Dispatcher& dispatcher,
                                            std::function<void()> onDismiss,
                                            QWidget* parent = nullptr);

}  // namespace tobble::ui
