#include <gtest/gtest.h>

#include <QAccessible>

#include "tests/ui/UiTestBed.h"
#include "ui/Controls.h"
#include "ui/DevicePickerView.h"

namespace tobble::ui {
namespace {

TEST(DeviceIconTest, FirstMatchingRuleIgnoringCase) {
    for (const auto& [name, icon] : std::initializer_list<std::pair<const char*, const char*>>{
             {"Jane's AIRPODS Pro", "headphones"},
             {"Bluetooth Headphones", "headphones"},
             {"Beats Pill", "wave.3.right"},
             {"Smartvision Soundbar", "tv"},  // "tv" inside a word
             {"HDMI Output", "tv"},
             {"USB Audio", "cable.connector"},
             {"Built-in Speakers", "hifispeaker"},
         }) {
        EXPECT_EQ(DevicePickerView::deviceIcon(name), icon) << name;
    }
}

class DevicePickerTest : public ::testing::Test, public testing::UiTestBed {
  protected:
    std::unique_ptr<DevicePickerView> makePicker() {
        auto picker = std::make_unique<DevicePickerView>(*service, audio, defaults);
        picker->show();
        pump();
        return picker;
    }
};

TEST_F(DevicePickerTest, NoDevicesSaysNoneAndNoOutputDevicesFound) {
    auto picker = makePicker();
    EXPECT_EQ(picker->currentDeviceName(), "None");
    picker->header()->click();
    EXPECT_TRUE(picker->isExpanded());
    EXPECT_TRUE(picker->deviceRows().empty());
    EXPECT_EQ(picker->emptyRowText(), "No output devices found");
}

TEST_F(DevicePickerTest, MarksTheDefaultAndSelectingWritesTheSystemDefault) {
    audio.addDevice({.uid = "speakers", .name = "Speakers"});
    const auto phones =
        audio.addDevice({.uid = "phones", .name = "Headphones", .makeDefault = true});
    auto picker = makePicker();
    EXPECT_EQ(picker->selectedDeviceID(), phones);
    EXPECT_EQ(picker->currentDeviceName(), "Headphones");
    ASSERT_EQ(picker->deviceRows().size(), 2u);

    picker->deviceRows().front()->click();
    pump();
    EXPECT_EQ(picker->currentDeviceName(), "Speakers");
    EXPECT_EQ(audio.defaultOutputUID(), "speakers");
}

TEST_F(DevicePickerTest, FirstDeviceMarkedWhenTheDefaultIsNotListed) {
    audio.addDevice({.uid = "a", .name = "First"});
    audio.addDevice({.uid = "b", .name = "Second"});
    audio.setDefaultOutput("gone");
    auto picker = makePicker();
    ASSERT_EQ(picker->devices().size(), 2u);
    EXPECT_EQ(picker->selectedDeviceID(), picker->devices().front().id);
    EXPECT_EQ(picker->currentDeviceName(), "First");
}

// A virtual default (an effects chain's sink) is not offered in the list, but the Output row
// names it rather than showing "None" or pretending another device plays.
TEST_F(DevicePickerTest, UnlistedVirtualDefaultIsNamedButNoRowIsChecked) {
    audio.addDevice({.uid = "a", .name = "Speakers"});
    audio.addDevice({.uid = "fx",
                     .name = "Equalizer",
                     .transportType = audio::kAudioDeviceTransportTypeVirtual,
                     .makeDefault = true});
    auto picker = makePicker();
    ASSERT_EQ(picker->devices().size(), 1u);
    EXPECT_EQ(picker->currentDeviceName(), "Equalizer");
    EXPECT_FALSE(picker->deviceRows().front()->isChecked());
}

TEST_F(DevicePickerTest, FollowsDeviceListChangesWhileShown) {
    auto picker = makePicker();
    ASSERT_TRUE(picker->devices().empty());
    audio.addDevice({.uid = "speakers", .name = "Speakers", .makeDefault = true});
    pump(0.5);
    EXPECT_EQ(picker->currentDeviceName(), "Speakers");
    picker->hide();
    audio.addDevice({.uid = "usb", .name = "USB DAC"});
    pump(0.5);
    EXPECT_EQ(picker->devices().size(), 1u);
}

// Screen readers hear the header as expanded or collapsed and the rows as radio buttons with the
// current device checked; a pick that rebuilds the list keeps the keyboard on the picked device,
// and a device that goes away hands it to the header.
TEST_F(DevicePickerTest, StatesForScreenReadersAndFocusThroughRebuilds) {
    audio.addDevice({.uid = "speakers", .name = "Speakers", .makeDefault = true});
    audio.addDevice({.uid = "phones", .name = "Headphones"});
    auto picker = makePicker();
    const auto state = [](QWidget* w) { return QAccessible::queryAccessibleInterface(w)->state(); };
    EXPECT_TRUE(state(picker->header()).expandable);
    EXPECT_TRUE(state(picker->header()).collapsed);
    picker->header()->click();
    EXPECT_TRUE(state(picker->header()).expanded);
    auto* phones = picker->deviceRows()[1];
    EXPECT_EQ(QAccessible::queryAccessibleInterface(phones)->role(), QAccessible::RadioButton);
    EXPECT_FALSE(state(phones).checked);

    phones->setFocus();
    phones->click();
    audio.addDevice({.uid = "usb", .name = "USB DAC"});
    pump(0.5);
    ASSERT_EQ(picker->deviceRows().size(), 3u);
    phones = picker->deviceRows()[1];
    EXPECT_TRUE(state(phones).checked);
    EXPECT_FALSE(state(picker->deviceRows()[0]).checked);
    EXPECT_EQ(picker->focusWidget(), phones);

    audio.removeDevice("phones");
    pump(0.5);
    EXPECT_EQ(picker->focusWidget(), picker->header());
}

TEST_F(DevicePickerTest, ExpandedStateIsRestoredFromTheDefaults) {
    {
        auto picker = makePicker();
        EXPECT_FALSE(picker->isExpanded());
        picker->header()->click();
    }
    EXPECT_TRUE(defaults.boolean(DevicePickerView::kExpandedKey));
    auto again = makePicker();
    EXPECT_TRUE(again->isExpanded());
}

}  // namespace
}  // namespace tobble::ui
