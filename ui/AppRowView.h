#pragma once

#include <QMenu>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "services/AudioClientViewModel.h"
#include "ui/Motion.h"

namespace tobble::ui {

class AppIconView;
class MuteButton;
class Slider;
class TextView;
class VUMeterView;

// One audible application in the panel: level meter, icon, name, volume slider, percentage and
// mute button, with a hover wash and a context menu: "Output" (the system output or one device
// for this application alone) and "Hide …". An application sent to a device of its own shows
// that device's symbol beside its name, and a line saying where it plays while the device is
// away. It shows its record and reports what the user does; the content view decides what each
// action does.
class AppRowView : public QWidget {
  public:
    using AppClient = app::AudioClientViewModel::AppClient;
    using OutputDevice = app::TobbleAudioService::OutputDevice;

    struct Callbacks {
        std::function<void(float volume)> onVolumeChange;
        std::function<void()> onMuteToggle;
        std::function<void()> onDragStarted;  // repeated while a drag moves: must be idempotent
        std::function<void()> onDragEnded;
        std::function<void()> onHide;  // absent: no "Hide" item
        // The device uid picked in "Output"; empty for "System output". Absent: no "Output".
        std::function<void(const std::string& uid)> onOutputChange;
    };

    static constexpr const char* kSystemOutputTitle = "System output";

    AppRowView(const AppClient& client, Callbacks callbacks, QWidget* parent = nullptr);
    ~AppRowView() override;

    const AppClient& client() const { return client_; }
    // A fresh record from the view model. The slider is left alone while the user drags it.
    void setClient(const AppClient& client);
    void setLevel(float level);

    // The output devices there are now and the name of the default one: the "Output" menu's
    // choices, and whether a device of the row's own is there.
    void setOutputs(std::vector<OutputDevice> devices, const QString& defaultName);
    // The line under the row while its own device is away, else empty.
    QString outputNote() const;
    // The symbol shown beside the name for a device of the row's own, else empty.
    QString outputSymbol() const;

    // The context menu's "Hide" action.
    void requestHide() {
        if (callbacks_.onHide) callbacks_.onHide();
    }
    // The context menu's item titles.
    QStringList contextMenuTitles() const;
    // Opens the context menu at a point on the screen; it closes when the row goes away.
    void openContextMenu(QPoint globalPosition);
    QMenu* openMenu() const { return menu_; }

    Slider* slider() const { return slider_; }
    MuteButton* muteButton() const { return muteButton_; }
    VUMeterView* meter() const { return meter_; }
    AppIconView* iconView() const { return icon_; }
    TextView* nameView() const { return name_; }
    TextView* percentView() const { return percent_; }

  protected:
    void paintEvent(QPaintEvent*) override;
    void enterEvent(QEnterEvent*) override;
    void leaveEvent(QEvent*) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    void applyMuted();
    void renderOutput();
    void addOutputMenu(QMenu& menu);
    void nameControls();
    void userMovedSlider(double value);

    AppClient client_;
    Callbacks callbacks_;
    VUMeterView* meter_;
    AppIconView* icon_;
    TextView* name_;
    QWidget* outputIcon_;
    TextView* outputNote_;
    std::vector<OutputDevice> outputs_;
    QString defaultOutputName_;
    Slider* slider_;
    TextView* percent_;
    MuteButton* muteButton_;
    AnimatedValue hover_;
    QPointer<QMenu> menu_;
};

// "%.0f%%" of a 0…1 volume.
QString percentText(double volume);

}  // namespace tobble::ui
