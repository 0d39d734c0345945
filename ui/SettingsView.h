#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "services/HiddenAppsStore.h"
#include "ui/PanelContext.h"

class QScrollArea;
class QVBoxLayout;
class QHBoxLayout;

namespace tobble::ui {

class PaintedButton;
class ShortcutRecorder;
class Slider;
class TextView;
class Toggle;

// The settings, in the panel in place of its content: default volume, volume above 100 %, the
// global shortcut with an in-place recorder, launch at login, the hidden applications, and a
// footer with the information popover, the accessibility prompt and the update check.
class SettingsView : public QWidget {
  public:
    static constexpr const char* kWebsiteURL = "https://tobble.app";
    static constexpr const char* kDocumentationURL = "https://tobble.app/docs";
    // Eight lines of hidden apps; more scroll.
    static constexpr int kHiddenListMaxHeight = 8 * 44;

    SettingsView(PanelContext& context, std::function<void()> onBack, QWidget* parent = nullptr);
    ~SettingsView() override;

    // Status line of the launch-at-login row and its colour.
    static QString statusText(LoginItemStatus status);
    static QColor statusColor(LoginItemStatus status);

    double defaultVolume() const;
    void setDefaultVolume(double volume);

    bool isRecordingShortcut() const { return recorder_ != nullptr; }
    void startRecordingShortcut();
    // The key caps shown for the current shortcut (empty while recording).
    QStringList shownShortcutCaps() const;

    void refreshStatus();
    void setLaunchAtLogin(bool on);
    bool launchAtLoginEnabled() const { return launchAtLoginEnabled_; }
    LoginItemStatus loginStatus() const { return status_; }
    const std::optional<std::string>& errorMessage() const { return errorMessage_; }

    bool isHiddenAppsSectionShown() const;
    bool isShowingHiddenApps() const { return showHiddenApps_; }
    void setShowHiddenApps(bool show);
    // Bundle ids of the hidden-app lines, in display order, and the "Show …" action of each.
    std::vector<std::string> hiddenAppLines() const { return hiddenLineIDs_; }
    void showHiddenApp(const std::string& bundleID);

    // The explanation (and the command to bind) shown where the session allows no global
    // shortcut of Tobble's own.
    bool isShortcutHelpShown() const;
    // Why the shortcut does not work, under its row; empty when it works.
    QString shortcutNoteText() const;
    PaintedButton* copyCommandButton() const { return copyCommand_; }
    PaintedButton* quitButton() const { return quitButton_; }
    QString updateButtonText() const;
    PaintedButton* updateButton() const { return updateButton_; }
    PaintedButton* infoButton() const { return infoButton_; }
    PaintedButton* backButton() const { return backButton_; }
    Toggle* launchToggle() const { return toggle_; }
    // "Allow volume above 100%": application sliders up to 200 %.
    Toggle* boostToggle() const { return boostToggle_; }
    QWidget* infoPopover() const { return popover_; }
    void setInfoPopoverShown(bool shown);

    QSize sizeHint() const override;

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    QWidget* settingsRow(const QString& icon, QWidget* content, QWidget* parent);
    QWidget* buildDefaultVolume(QWidget* parent);
    QWidget* buildShortcutRow(QWidget* parent);
    QWidget* buildLaunchRow(QWidget* parent);
    QWidget* buildBoostRow(QWidget* parent);
    QWidget* buildHiddenApps(QWidget* parent);
    QWidget* buildFooter();
    QWidget* buildPopover();
    void rebuildShortcut();
    void rebuildHiddenApps();
    void renderStatus();
    void renderFooter();
    void renderShortcutNote();
    void finishRecording(bool accepted, int64_t modifiers, const std::string& key);
    void stopRecorder();

    PanelContext& context_;
    std::function<void()> onBack_;
    system::UserDefaults& defaults_;

    bool launchAtLoginEnabled_ = false;
    LoginItemStatus status_ = LoginItemStatus::NotRegistered;
    std::optional<std::string> errorMessage_;
    bool showHiddenApps_ = false;
    bool polling_ = false;

    PaintedButton* backButton_ = nullptr;
    Slider* volumeSlider_ = nullptr;
    TextView* volumePercent_ = nullptr;
    QHBoxLayout* shortcutCaps_ = nullptr;
    QWidget* shortcutHost_ = nullptr;
    std::unique_ptr<ShortcutRecorder> recorder_;
    Toggle* toggle_ = nullptr;
    Toggle* boostToggle_ = nullptr;
    TextView* statusLabel_ = nullptr;
    QWidget* hiddenSection_ = nullptr;
    QWidget* hiddenDivider_ = nullptr;
    PaintedButton* hiddenHeader_ = nullptr;
    QScrollArea* hiddenScroll_ = nullptr;
    QWidget* hiddenList_ = nullptr;
    QVBoxLayout* hiddenListLayout_ = nullptr;
    std::vector<std::string> hiddenLineIDs_;
    QWidget* errorSection_ = nullptr;
    TextView* errorText_ = nullptr;
    PaintedButton* infoButton_ = nullptr;
    PaintedButton* quitButton_ = nullptr;
    TextView* shortcutNote_ = nullptr;
    QWidget* shortcutHelp_ = nullptr;
    PaintedButton* copyCommand_ = nullptr;
    bool commandCopied_ = false;
    std::optional<std::string> refusal_;
    PaintedButton* updateButton_ = nullptr;
    QWidget* popover_ = nullptr;
    app::HiddenAppsStore::Observation hiddenObservation_;
    Subscription accessibilitySubscription_;
    Subscription updateSubscription_;
};

}  // namespace tobble::ui
