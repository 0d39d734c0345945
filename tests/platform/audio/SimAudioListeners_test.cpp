// Property listeners of the simulated system: which changes notify, where, and removal.

#include "tests/platform/audio/SimTestSupport.h"

namespace tobble::audio::sim::testing {
namespace {

class SimAudioListenersTest : public SimFixture {
  protected:
    struct Heard {
        AudioObjectID object;
        uint32_t selector;
        bool onQueue;
        bool operator==(const Heard&) const = default;
    };

    PropertyListenerBlock listen(AudioObjectID object, PropertyAddress address) {
        auto block =
            makeListenerBlock([this](AudioObjectID obj, std::span<const PropertyAddress> addrs) {
                for (const auto& a : addrs) heard.push_back({obj, a.selector, queue->isCurrent()});
            });
        EXPECT_EQ(sim.addPropertyListener(object, address, queue, block), kAudioHardwareNoError);
        return block;
    }

    // Selectors heard since the last call, in order.
    std::vector<uint32_t> drain() {
        dispatcher.runDue();
        std::vector<uint32_t> selectors;
        for (const auto& h : heard) selectors.push_back(h.selector);
        heard.clear();
        return selectors;
    }

    std::vector<Heard> heard;
};

TEST_F(SimAudioListenersTest, ListenerRunsOnItsQueueWithTheChangedAddress) {
    listen(1, global(kAudioHardwarePropertyDefaultOutputDevice));
    sim.setDefaultOutput("headphones");
    EXPECT_TRUE(heard.empty());  // delivered asynchronously
    dispatcher.runDue();
    EXPECT_EQ(heard, (std::vector<Heard>{{1, kAudioHardwarePropertyDefaultOutputDevice, true}}));
    heard.clear();

    sim.setDefaultOutput("headphones");  // no change, no call
    sim.setDefaultOutput("nowhere");
    EXPECT_TRUE(drain().empty());
}

TEST_F(SimAudioListenersTest, RemovalNeedsTheSameBlockAndSilencesTheListener) {
    const auto address = global(kAudioHardwarePropertyDevices);
    auto block = listen(1, address);
    auto lookalike = makeListenerBlock(*block);
    EXPECT_NE(sim.removePropertyListener(1, address, queue, lookalike), kAudioHardwareNoError);
    EXPECT_NE(sim.removePropertyListener(1, address, ioQueue, block), kAudioHardwareNoError);
    EXPECT_EQ(sim.listenerCount(), 1u);
    EXPECT_EQ(sim.removePropertyListener(1, address, queue, block), kAudioHardwareNoError);
    EXPECT_EQ(sim.listenerCount(), 0u);
    EXPECT_NE(sim.removePropertyListener(1, address, queue, block), kAudioHardwareNoError);

    sim.addDevice({.uid = "usb", .name = "USB"});
    EXPECT_TRUE(drain().empty());
    EXPECT_EQ(sim.addPropertyListener(9999, address, queue, block), kAudioHardwareBadObjectError);
}

TEST_F(SimAudioListenersTest, DeviceListChangesWithDevicesAndAggregates) {
    listen(1, global(kAudioHardwarePropertyDevices));
    listen(1, global(kAudioHardwarePropertyDefaultOutputDevice));
    const AudioObjectID p = addPlayer(501);
    const Pipeline pipe = buildPipeline({p}, "headphones", gainBlock(1));
    EXPECT_EQ(drain(), std::vector<uint32_t>{kAudioHardwarePropertyDevices});
    ASSERT_EQ(sim.destroyIOProcID(pipe.aggregate, pipe.proc), 0);
    ASSERT_EQ(sim.destroyAggregateDevice(pipe.aggregate), 0);
    EXPECT_EQ(drain(), std::vector<uint32_t>{kAudioHardwarePropertyDevices});

    const Pipeline second = buildPipeline({p}, "headphones", gainBlock(1));
    drain();
    sim.killAggregate(second.aggregate);
    EXPECT_EQ(drain(), std::vector<uint32_t>{kAudioHardwarePropertyDevices});

    sim.removeDevice("speakers");
    EXPECT_EQ(drain(), (std::vector<uint32_t>{kAudioHardwarePropertyDevices,
                                              kAudioHardwarePropertyDefaultOutputDevice}));
}

TEST_F(SimAudioListenersTest, ProcessListAndRunningStateNotify) {
    listen(1, global(kAudioHardwarePropertyProcessObjectList));
    const AudioObjectID p = sim.addProcess({.pid = 501, .bundleID = "org.example.a"});
    EXPECT_EQ(drain(), std::vector<uint32_t>{kAudioHardwarePropertyProcessObjectList});

    listen(p, global(kAudioProcessPropertyIsRunning));
    listen(p, global(kAudioProcessPropertyIsRunningOutput));
    sim.startPlaying(p);
    EXPECT_EQ(drain(), (std::vector<uint32_t>{kAudioProcessPropertyIsRunning,
                                              kAudioProcessPropertyIsRunningOutput}));
    sim.setRunning(p, true, false);
    EXPECT_EQ(drain(), std::vector<uint32_t>{kAudioProcessPropertyIsRunningOutput});
    sim.setRunning(p, true, false);
    EXPECT_TRUE(drain().empty());

    sim.exitProcess(501);
    EXPECT_EQ(drain(), std::vector<uint32_t>{kAudioHardwarePropertyProcessObjectList});
}

TEST_F(SimAudioListenersTest, VolumeAndMuteChangesNotifyTheirElements) {
    listen(speakers, output(kAudioHardwareServiceDeviceProperty_VirtualMainVolume));
    listen(speakers, output(kAudioDevicePropertyVolumeScalar, 2));
    listen(speakers, output(kAudioDevicePropertyMute));
    sim.setDeviceVolume("speakers", 0.5f);
    EXPECT_EQ(drain(),
              (std::vector<uint32_t>{kAudioDevicePropertyVolumeScalar,
                                     kAudioHardwareServiceDeviceProperty_VirtualMainVolume}));
    sim.setDeviceVolume("speakers", 0.5f);
    EXPECT_TRUE(drain().empty());

    ASSERT_EQ(write(sim, speakers, output(kAudioDevicePropertyVolumeScalar, 1), 0.1f), 0);
    EXPECT_EQ(drain(),
              std::vector<uint32_t>{kAudioHardwareServiceDeviceProperty_VirtualMainVolume});

    sim.setDeviceMuted("speakers", true);
    EXPECT_EQ(drain(), std::vector<uint32_t>{kAudioDevicePropertyMute});
    EXPECT_FLOAT_EQ(sim.deviceVolume("speakers"), 0.5f);
}

TEST_F(SimAudioListenersTest, ListenerMayCallBackIntoTheSim) {
    std::vector<AudioObjectID> seen;
    auto block = makeListenerBlock([&](AudioObjectID, std::span<const PropertyAddress>) {
        seen = readIDs(sim, 1, global(kAudioHardwarePropertyDevices));
        sim.setDeviceVolume("speakers", 0.3f);
    });
    ASSERT_EQ(sim.addPropertyListener(1, global(kAudioHardwarePropertyDevices), queue, block), 0);
    const AudioObjectID usb = sim.addDevice({.uid = "usb", .name = "USB"});
    dispatcher.runDue();
    EXPECT_EQ(seen, (std::vector<AudioObjectID>{speakers, headphones, usb}));
    EXPECT_FLOAT_EQ(sim.deviceVolume("speakers"), 0.3f);
}

}  // namespace
}  // namespace tobble::audio::sim::testing
