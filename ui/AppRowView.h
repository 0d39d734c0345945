#pragma once

#include <QMenu>
#include <QPointer>
#include <QWidget>
#include <functional>

#include "services/AudioClientViewModel.h"
#include "ui/Motion.h"

namespace tobble::ui {

class AppIconView;
class MuteButton;
class Slider;
class TextView;
class VUMeterView;

// One audible application in the panel: level meter, icon, name, volume slider, percentage and
// mute button, with a hover wash and a "Hide …" context menu. It shows its record and reports
// what the user does; the content view decides what each action does.
class AppRowView : public QWidget {
  public:
    using AppClient = app::AudioClientViewModel::AppClient;

    struct Callbacks {
        std::function<void(float volume)> onVolumeChange;
        std::function<void()> onMuteToggle;
        std::function<void()> onDragStarted;  // repeated while a drag moves: must be idempotent
        std::function<void()> onDragEnded;
        std::function<void()> onHide;  // absent: the context menu is empty
    };

    AppRowView(const AppClient& client, Callbacks callbacks, QWidget* parent = nullptr);
    ~AppRowView() override;

    const AppClient& client() const { return client_; }
    // A fresh record from the view model. The slider is left alone while the user drags it.
    void setClient(const AppClient& client);
    void setLevel(float level);

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
    void nameControls();
    void userMovedSlider(double value);

    AppClient client_;
    Callbacks callbacks_;
    VUMeterView* meter_;
    AppIconView* icon_;
    TextView* name_;
    Slider* slider_;
    TextView* percent_;
    MuteButton* muteButton_;
    AnimatedValue hover_;
    QPointer<QMenu> menu_;
};

// "%.0f%%" of a 0…1 volume.
QString percentText(double volume);

}  // namespace tobble::ui
