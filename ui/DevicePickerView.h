#pragma once

#include <QWidget>
#include <functional>
#include <vector>

#include "platform/system/UserDefaults.h"
#include "services/TobbleAudioService.h"

class QVBoxLayout;

namespace tobble::ui {

class PaintedButton;

// The panel's last section: "Output" and the current device; expanded, every output device with
// its icon, the current one marked. Clicking a device makes it the system's default output; the
// engine follows on its own. The expanded state is kept under "TobbleOutputPickerExpanded".
//
// The list is read when the picker appears and again on every device-list change the audio
// service reports while it is on screen; the audio service reads it on its own queue, so the
// panel never waits for the audio system. For screen readers the header is expanded or
// collapsed and the device rows are radio buttons, the current device checked.
class DevicePickerView : public QWidget {
  public:
    using OutputDevice = app::TobbleAudioService::OutputDevice;

    static constexpr const char* kExpandedKey = "TobbleOutputPickerExpanded";

    DevicePickerView(app::TobbleAudioService& service, audio::AudioHardware& hardware,
                     system::UserDefaults& defaults, QWidget* parent = nullptr);
    ~DevicePickerView() override;

    // The icon symbol for a device name: headphones, then Bluetooth, then screens, then USB,
    // else a speaker; a case-insensitive substring test.
    static QString deviceIcon(const std::string& name);

    void refreshDevices();
    void selectOutputDevice(audio::AudioObjectID id);
    // Called each time a fresh device list has been shown.
    void setDevicesShown(std::function<void()> shown) { devicesShown_ = std::move(shown); }

    const std::vector<OutputDevice>& devices() const { return devices_; }
    audio::AudioObjectID selectedDeviceID() const { return selectedDeviceID_; }
    // The selected device's name, or "None".
    QString currentDeviceName() const;
    bool isExpanded() const { return expanded_; }
    void setExpanded(bool expanded);

    PaintedButton* header() const { return header_; }
    // What the expanded list shows: one button per device, or the empty row's text.
    std::vector<PaintedButton*> deviceRows() const { return rows_; }
    QString emptyRowText() const;

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    void showDevices(std::vector<OutputDevice> devices,
                     std::optional<audio::AudioObjectID> current);
    void rebuildList();
    void addRows();
    void markSelectedRow();
    void startListening();
    void stopListening();

    app::TobbleAudioService& service_;
    audio::AudioHardware& hardware_;
    system::UserDefaults& defaults_;
    std::vector<OutputDevice> devices_;
    audio::AudioObjectID selectedDeviceID_ = audio::kAudioObjectUnknown;
    std::string defaultOutputName_;  // the default output's name, listed or not
    bool expanded_ = false;
    bool listening_ = false;

    PaintedButton* header_;
    QWidget* listSection_;
    QVBoxLayout* listLayout_;
    std::vector<PaintedButton*> rows_;
    std::vector<audio::AudioObjectID> rowDeviceIDs_;  // the device of each row
    QWidget* emptyRow_ = nullptr;
    std::function<void()> devicesShown_;
    std::shared_ptr<bool> alive_;
};

}  // namespace tobble::ui
