#include "services/TobbleAudioService.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine/core/Identity.h"
#include "tests/services/ServicesTestBed.h"

namespace tobble::app {
namespace {

using audio::kAudioHardwareBadObjectError;
using audio::sim::SimCall;
using Device = TobbleAudioService::OutputDevice;

class AudioServiceTest : public ::testing::Test, public testing::ServicesTestBed {
  protected:
    // Every system-volume callback, with whether it ran on the main queue.
    struct VolumeCall {
        float volume;
        bool muted;
        bool onMain;
        bool operator==(const VolumeCall&) const = default;
    };
    std::vector<VolumeCall> volumeCalls;

    void followSystemVolume() {
        service->registerSystemVolumeListener([this](float volume, bool muted) {
            volumeCalls.push_back({volume, muted, dispatcher.mainQueue().isCurrent()});
        });
    }
};

// ---- system volume and mute

TEST_F(AudioServiceTest, WithoutDefaultOutputReadsFallBackAndWritesFail) {
    EXPECT_FLOAT_EQ(service->getSystemVolume(), 1.0f);
    EXPECT_FALSE(service->getSystemMute());
    EXPECT_FALSE(service->setSystemVolume(0.5f));
    EXPECT_FALSE(service->setSystemMute(true));

    // Once read, the device's volume is what a later failed read falls back to.
    audio.addDevice({.uid = "speakers", .name = "Speakers", .volume = 0.4f, .makeDefault = true});
    EXPECT_FLOAT_EQ(service->getSystemVolume(), 0.4f);
    audio.removeDevice("speakers");
    EXPECT_FLOAT_EQ(service->getSystemVolume(), 0.4f);
    EXPECT_FALSE(service->getSystemMute());
}

TEST_F(AudioServiceTest, WritesReachTheDefaultOutputClampedAndAreRemembered) {
    addSpeakers();
    EXPECT_TRUE(service->setSystemVolume(1.7f));
    EXPECT_FLOAT_EQ(audio.deviceVolume("speakers"), 1.0f);
    EXPECT_TRUE(service->setSystemVolume(-0.2f));
    EXPECT_FLOAT_EQ(audio.deviceVolume("speakers"), 0.0f);
    EXPECT_TRUE(service->setSystemVolume(0.3f));

    // A refused write reports false and leaves the remembered value as it was.
    audio.failNext(SimCall::SetPropertyData, kAudioHardwareBadObjectError);
    EXPECT_FALSE(service->setSystemVolume(0.9f));
    audio.failNext(SimCall::GetPropertyData, kAudioHardwareBadObjectError, 1,
                   audio::kAudioHardwareServiceDeviceProperty_VirtualMainVolume);
    EXPECT_FLOAT_EQ(service->getSystemVolume(), 0.3f);

    EXPECT_TRUE(service->setSystemMute(true));
    EXPECT_TRUE(audio.deviceMuted("speakers"));
    EXPECT_TRUE(service->getSystemMute());
}

// ---- output devices

TEST_F(AudioServiceTest, DeviceListShowsOnlyRealOutputs) {
    const auto speakers = addSpeakers();
    const auto headphones = audio.addDevice({.uid = "usb-headphones", .name = ""});
    audio.addDevice({.uid = "loopback",
                     .name = "Loopback",
                     .transportType = audio::kAudioDeviceTransportTypeVirtual});
    audio.addDevice({.uid = "microphone", .name = "Microphone", .channels = 0});
    // The engine's aggregate for a playing application is not a device the user can pick.
    launch(300, "com.example.Music");
    engine->start();
    ASSERT_EQ(audio.aggregates().size(), 1u);
    ASSERT_TRUE(audio.aggregates()[0].uid.starts_with(engine::aggregateUIDPrefix()));

    const auto devices = service->getOutputDevices();
    EXPECT_EQ(devices, (std::vector<Device>{{speakers, "speakers", "speakers"},
                                            {headphones, "Unknown Device", "usb-headphones"}}));
}

TEST_F(AudioServiceTest, UnreadableDeviceListIsEmptyAndLogged) {
    addSpeakers();
    audio.failNext(SimCall::GetPropertyDataSize, kAudioHardwareBadObjectError, 1,
                   audio::kAudioHardwarePropertyDevices);
    EXPECT_TRUE(service->getOutputDevices().empty());
    EXPECT_TRUE(capture->contains("Failed to get system device list size: 560947818"));

    audio.failNext(SimCall::GetPropertyData, kAudioHardwareBadObjectError, 1,
                   audio::kAudioHardwarePropertyDevices);
    EXPECT_TRUE(service->getOutputDevices().empty());
    EXPECT_TRUE(capture->contains("Failed to get system device IDs: 560947818"));
    EXPECT_EQ(service->getOutputDevices().size(), 1u);
}

// ---- subscriptions

TEST_F(AudioServiceTest, DeviceListSubscriberIsReplacedByTheNextAndDroppedWithItsListener) {
    const size_t baseline = audio.listenerCount();
    int first = 0;
    int second = 0;
    bool onMain = false;
    service->registerDeviceListListener([&] { ++first; });
    service->registerDeviceListListener([&] {
        ++second;
        onMain = dispatcher.mainQueue().isCurrent();
    });
    EXPECT_EQ(audio.listenerCount(), baseline + 1);

    audio.addDevice({.uid = "hdmi", .name = "Display"});
    dispatcher.runDue();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
    EXPECT_TRUE(onMain);

    // A notification on its way when the view goes away is dropped with the listener.
    audio.addDevice({.uid = "usb", .name = "USB"});
    service->unregisterDeviceListListener();
    EXPECT_EQ(audio.listenerCount(), baseline);
    dispatcher.runDue();
    EXPECT_EQ(second, 1);
}

TEST_F(AudioServiceTest, VolumeTrackingFollowsTheDefaultOutput) {
    audio.addDevice({.uid = "speakers",
                     .name = "Speakers",
                     .volume = 0.6f,
                     .muted = true,
                     .makeDefault = true});
    audio.addDevice({.uid = "headphones", .name = "Headphones", .volume = 0.5f});
    const size_t baseline = audio.listenerCount();
    followSystemVolume();
    EXPECT_TRUE(volumeCalls.empty());  // the first value comes asynchronously, never from inside
    dispatcher.runDue();
    EXPECT_EQ(volumeCalls, (std::vector<VolumeCall>{{0.6f, true, true}}));
    volumeCalls.clear();

    audio.setDeviceVolume("speakers", 0.7f);
    dispatcher.runDue();
    ASSERT_FALSE(volumeCalls.empty());
    EXPECT_FLOAT_EQ(volumeCalls.back().volume, 0.7f);

    // The old device's listeners go as the new one's come: nothing from the speakers from now on.
    const size_t attached = audio.listenerCount();
    audio.setDefaultOutput("headphones");
    dispatcher.runDue();
    ASSERT_FALSE(volumeCalls.empty());
    EXPECT_FLOAT_EQ(volumeCalls.back().volume, 0.5f);
    EXPECT_EQ(audio.listenerCount(), attached);

    volumeCalls.clear();
    audio.setDeviceVolume("speakers", 0.2f);
    audio.setDeviceMuted("speakers", true);
    dispatcher.runDue();
    EXPECT_TRUE(volumeCalls.empty());

    audio.setDeviceMuted("headphones", true);
    dispatcher.runDue();
    EXPECT_EQ(volumeCalls, (std::vector<VolumeCall>{{0.5f, true, true}}));

    service->unregisterSystemVolumeListener();
    EXPECT_EQ(audio.listenerCount(), baseline);
    audio.setDeviceVolume("headphones", 0.1f);
    dispatcher.runDue();
    EXPECT_EQ(volumeCalls.size(), 1u);
}

TEST_F(AudioServiceTest, DroppingTheServiceRemovesItsListeners) {
    addSpeakers();
    const size_t baseline = audio.listenerCount();
    followSystemVolume();
    service->registerDeviceListListener([] {});
    service.reset();
    EXPECT_EQ(audio.listenerCount(), baseline);
}

// ---- client list

TEST_F(AudioServiceTest, ClientListIsReadOnlyWhenTheCatalogGenerationMoves) {
    addSpeakers();
    EXPECT_FALSE(service->readClientListIfChanged().has_value());  // stopped, generation 0

    launch(300, "com.example.Music");
    engine->start();
    auto clients = service->readClientListIfChanged();
    ASSERT_TRUE(clients.has_value());
    ASSERT_EQ(clients->size(), 1u);
    EXPECT_EQ((*clients)[0].bundleID, "com.example.Music");
    EXPECT_FALSE(service->readClientListIfChanged().has_value());
    advance(2.0);
    EXPECT_FALSE(service->readClientListIfChanged().has_value());

    launch(301, "com.example.Video");
    advance(0.2);
    clients = service->readClientListIfChanged();
    ASSERT_TRUE(clients.has_value());
    EXPECT_EQ(clients->size(), 2u);

    // Stopping tears every pipeline down: one empty list, then nothing until the next change.
    engine->stop();
    clients = service->readClientListIfChanged();
    ASSERT_TRUE(clients.has_value());
    EXPECT_TRUE(clients->empty());
    EXPECT_FALSE(service->readClientListIfChanged().has_value());
}

}  // namespace
}  // namespace tobble::app
