#include <gtest/gtest.h>

#include <memory>

#include "engine/pipeline/TAKAggregateBuilder.h"
#include "engine/pipeline/TAKIOProcHost.h"
#include "engine/pipeline/TAKKeepaliveHost.h"
#include "engine/pipeline/TAKTapManager.h"
#include "platform/audio/sim/SimAudioSystem.h"
#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/log/CaptureSink.h"

// The hosts over the simulated audio system: what reaches the device when the callback runs on
// a real aggregate of a tapped application.
namespace tobble::engine {
namespace {

using namespace audio;
using sim::SimCall;

constexpr double kSineRms = 0.5 / 1.4142135623730951;  // the player's 0.5-amplitude sine
constexpr uint32_t kSlot = 4;

class IOProcHostSimTest : public ::testing::Test {
  protected:
    void SetUp() override { sim.startPlaying(player); }
    void TearDown() override {
        host.reset();
        aggregates.destroy(aggregate);
        taps.destroy(tap);
    }
    double deviceRms(double from, double to) const { return sim.rms("speakers", 0, from, to); }

    log::ScopedCapture capture;
    dispatch::VirtualDispatcher dispatcher;
    sim::SimAudioSystem sim{dispatcher};
    AudioObjectID speakers =
        sim.addDevice({.uid = "speakers", .name = "Speakers", .makeDefault = true});
    AudioObjectID player = sim.addProcess({42, "com.example.Player", sim::Signal::sine(440, 0.5f)});
    TAKTapManager taps{sim};
    TAKAggregateBuilder aggregates{sim};
    TAKTap tap = taps.createTap(42, {player}, std::string("speakers"));
    TAKAggregateInfo aggregate = aggregates.build(tap.uid, "speakers");
    TAKVolumeState volumes;
    TAKRMSBuffer levels;
    std::unique_ptr<TAKIOProcHost> host =
        std::make_unique<TAKIOProcHost>(kSlot, volumes, levels, sim, dispatcher);
};

TEST_F(IOProcHostSimTest, TheDeviceHearsTheApplicationAtTheSlotVolume) {
    volumes.write(kSlot, 0.5f, false);
    host->start(aggregate.aggregateID);
    const double startedAt = dispatcher.clock().absoluteTime();
    dispatcher.advance(1.0);
    EXPECT_NEAR(deviceRms(0.2, 1.0), kSineRms * 0.5, 0.005);
    EXPECT_NEAR(levels.level(kSlot), 0.25f, 0.01f);
    EXPECT_EQ(host->activatedAt(), startedAt);
    EXPECT_GT(host->diagCounter(), 80u);
    const double sinceLastRender =
        static_cast<double>(dispatcher.clock().hostTime() - host->lastRenderHostTime()) *
        host->hostTimeNanosScale() / 1e9;
    EXPECT_LT(sinceLastRender, 0.05);
}

TEST_F(IOProcHostSimTest, WarmupKeepsTheFirstFourHundredMillisecondsSilent) {
    host->setWarmupFramesRemaining(static_cast<int64_t>(0.4 * 48000));
    host->start(aggregate.aggregateID);
    dispatcher.advance(1.0);
    EXPECT_EQ(deviceRms(0.0, 0.38), 0.0);
    EXPECT_NEAR(deviceRms(0.45, 1.0), kSineRms, 0.005);
    EXPECT_EQ(host->warmupFramesRemaining(), 0);
}

TEST_F(IOProcHostSimTest, AfterStopTheCallbackIsGoneAndTheApplicationPlaysDirectly) {
    host->start(aggregate.aggregateID);
    dispatcher.advance(0.5);
    host->stop();
    const uint64_t renders = host->diagCounter();
    EXPECT_EQ(sim.ioProcCount(), 0u);
    dispatcher.advance(0.5);
    EXPECT_EQ(host->diagCounter(), renders);
    EXPECT_NEAR(deviceRms(0.6, 1.0), kSineRms, 0.005);
}

TEST_F(IOProcHostSimTest, ADestroyedHostLeavesNoCallbackBehind) {
    host->start(aggregate.aggregateID);
    dispatcher.advance(0.2);
    host.reset();
    EXPECT_EQ(sim.ioProcCount(), 0u);
    dispatcher.advance(0.5);  // device cycles keep running without touching the freed host
}

class KeepaliveHostSimTest : public ::testing::Test {
  protected:
    log::ScopedCapture capture;
    dispatch::VirtualDispatcher dispatcher;
    sim::SimAudioSystem sim{dispatcher};
    AudioObjectID speakers =
        sim.addDevice({.uid = "speakers", .name = "Speakers", .makeDefault = true});
    AudioObjectID headphones = sim.addDevice({.uid = "headphones",
                                              .name = "Headphones",
                                              .transportType = kAudioDeviceTransportTypeBluetooth});
    AudioObjectID player = sim.addProcess({42, "com.example.Player", sim::Signal::sine(440, 0.5f)});
    TAKKeepaliveHost keepalive{sim, dispatcher};
};

TEST_F(KeepaliveHostSimTest, RunsSilentlyAlongsideWhatTheDevicePlays) {
    sim.startPlaying(player);
    keepalive.start(speakers);
    dispatcher.advance(0.5);
    EXPECT_EQ(sim.runningIOProcCount(), 1u);
    EXPECT_NEAR(sim.rms("speakers", 0, 0.1, 0.5), kSineRms, 0.005);
    keepalive.start(headphones);
    EXPECT_EQ(sim.callCount(SimCall::DeviceStop), 1u);
    EXPECT_EQ(sim.ioProcCount(), 1u);
    dispatcher.advance(0.5);
    EXPECT_EQ(sim.rms("headphones", 0, 0.6, 1.0), 0.0);
    keepalive.stop();
    EXPECT_EQ(sim.ioProcCount(), 0u);
    EXPECT_FALSE(keepalive.isRunning());
}

}  // namespace
}  // namespace tobble::engine
