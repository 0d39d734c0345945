#pragma once

#include <QDate>
#include <QWidget>
#include <map>
#include <vector>

#include "platform/log/Log.h"
#include "services/AudioClientViewModel.h"
#include "services/HiddenAppsStore.h"
#include "ui/Motion.h"
#include "ui/PanelContext.h"

class QScrollArea;
class QVBoxLayout;

namespace tobble::ui {

class AppRowView;
class DevicePickerView;
class MuteButton;
class PaintedButton;
class SettingsView;
class Slider;
class SystemVolumeRow;
class TextView;

// The panel's root: header with the word mark and the tagline of the day, the feedback banner,
// the system volume, one row per audible application (or the empty state) and the output picker;
// the settings replace all of it while open.
class ContentView : public QWidget {
  public:
    using AppClient = app::AudioClientViewModel::AppClient;

    static constexpr const char* kBannerDismissedAtKey = "TobbleFeedbackBannerDismissedAt";
    static constexpr double kBannerQuietPeriod = 604800;  // a dismissed banner returns after 7 days
    static constexpr int kListMinHeight = 144;
    static constexpr int kListMaxHeight = 400;
    static constexpr const char* kFeedbackURL = "https://tobble.app/feedback";

    explicit ContentView(PanelContext& context, QWidget* parent = nullptr);
    ~ContentView() override;

    // The tagline for a day: the table cycles through the year from 1 January.
    static QString dailyTagline(const QDate& day);
    static bool shouldShowFeedbackBanner(double dismissedAt, double now);

    QString dailyTagline() const;
    bool shouldShowFeedbackBanner() const;
    // The view model's rows without the hidden applications, in order.
    std::vector<AppClient> visibleClients() const;
    // Seconds since 1970 on the environment's clock.
    double now() const;

    // Hides the row's application from the panel; a row without a bundle id is left alone.
    void hideClient(const AppClient& client);

    bool isShowingSettings() const { return settings_ != nullptr; }
    void openSettings();
    void closeSettings();

    // What is on screen, for tests and the snapshot tool.
    bool isEmptyStateShown() const;
    bool isBannerShown() const;
    AppRowView* row(uint32_t clientID) const;
    std::vector<AppRowView*> rows() const;
    SystemVolumeRow* systemVolumeRow() const { return systemRow_; }
    DevicePickerView* devicePicker() const { return picker_; }
    SettingsView* settingsView() const { return settings_; }
    QScrollArea* clientList() const { return scroll_; }
    PaintedButton* settingsButton() const { return settingsButton_; }
    PaintedButton* bannerDismissButton() const { return bannerDismiss_; }

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent*) override;
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;

  private:
    QWidget* buildHeader();
    QWidget* buildBanner();
    QWidget* buildEmptyState();
    void refresh();
    void syncRows(const std::vector<AppClient>& clients);
    void applyLevels(const app::AudioClientViewModel::Levels& levels);
    void dismissBanner();
    void announceSize();

    PanelContext& context_;
    log::Logger logger_;
    QWidget* main_;
    QWidget* banner_;
    QWidget* dividerWithoutBanner_;
    TextView* tagline_;
    PaintedButton* settingsButton_;
    PaintedButton* bannerDismiss_ = nullptr;
    SystemVolumeRow* systemRow_;
    QWidget* emptyState_;
    QScrollArea* scroll_;
    QWidget* listContainer_;
    QVBoxLayout* listLayout_;
    DevicePickerView* picker_ = nullptr;
    SettingsView* settings_ = nullptr;
    std::map<uint32_t, AppRowView*> rows_;
    app::AudioClientViewModel::Observation observation_;
    app::HiddenAppsStore::Observation hiddenObservation_;
};

// The system volume: slider, percentage and mute button. While on screen it follows the default
// output through the audio service's listener; a change from elsewhere never moves the slider
// under the user's pointer.
class SystemVolumeRow : public QWidget {
  public:
    SystemVolumeRow(app::TobbleAudioService& service, const log::Logger& logger,
                    QWidget* parent = nullptr);
    ~SystemVolumeRow() override;

    double systemVolume() const { return systemVolume_; }
    bool isSystemMuted() const { return isSystemMuted_; }
    bool isDraggingVolume() const { return isDraggingVolume_; }
    bool isListening() const { return listening_; }
    Slider* slider() const { return slider_; }
    MuteButton* muteButton() const { return muteButton_; }
    TextView* percentView() const { return percent_; }

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    void appear();
    void disappear();
    void userMovedSlider(double value);
    void setEditing(bool editing);
    void toggleMute();
    void listenerCallback(float volume, bool muted);
    void render();

    app::TobbleAudioService& service_;
    const log::Logger& logger_;
    double systemVolume_ = 0;
    bool isDraggingVolume_ = false;
    bool isSystemMuted_ = false;
    bool listening_ = false;
    Slider* slider_;
    TextView* percent_;
    MuteButton* muteButton_;
    std::shared_ptr<bool> alive_;
};

}  // namespace tobble::ui
