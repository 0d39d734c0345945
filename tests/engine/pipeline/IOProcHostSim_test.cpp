// The I/O callback host over the simulated audio system, on a real aggregate of a tapped
// application: in virtual time, what reaches the device; on real threads, the engine-side
// writes racing the audio thread, which is what the sanitizer builds need to see.
#include <gtest/gtest.h>

#include <memory>

#include "engine/pipeline/TAKAggregateBuilder.h"
#include "engine/pipeline/TAKIOProcHost.h"
#include "engine/pipeline/TAKTapManager.h"
#include "platform/log/CaptureSink.h"
#include "platform/sim/SimEnvironment.h"
#include "tests/support/Eventually.h"

namespace tobble::engine {
namespace {

using namespace audio;
using tobble::testing::eventually;

constexpr double kSineRms = 0.5 / 1.4142135623730951;  // the player's 0.5-amplitude sine
constexpr uint32_t kSlot = 4;

template <tobble::sim::TimeMode kTime>
class HostOnSim : public ::testing::Test {
  protected:
    ~HostOnSim() override {
        host.reset();
        aggregates.destroy(aggregate);
        taps.destroy(tap);
    }

    log::ScopedCapture capture;
    tobble::sim::SimEnvironment desktop{kTime};
    audio::sim::SimAudioSystem& simAudio = desktop.audio();
    AudioObjectID speakers = simAudio.addDevice(
        {.uid = "speakers", .name = "Speakers", .bufferFrames = 256, .makeDefault = true});
    AudioObjectID player = desktop.addApp(42, "com.example.Player", "Player", 440);
    TAKTapManager taps{simAudio};
    TAKAggregateBuilder aggregates{simAudio};
    TAKTap tap = taps.createTap(42, {player}, std::string("speakers"));
    TAKAggregateInfo aggregate = aggregates.build(tap.uid, "speakers");
    TAKVolumeState volumes;
    TAKRMSBuffer levels;
    std::unique_ptr<TAKIOProcHost> host =
        std::make_unique<TAKIOProcHost>(kSlot, volumes, levels, simAudio, desktop.dispatcher());
};

class IOProcHostSimTest : public HostOnSim<tobble::sim::TimeMode::Virtual> {
  protected:
    dispatch::VirtualDispatcher& dispatcher = desktop.virtualTime();
    double deviceRms(double from, double to) const { return simAudio.rms("speakers", 0, from, to); }
};

TEST_F(IOProcHostSimTest, TheDeviceHearsTheApplicationAtTheSlotVolume) {
    volumes.write(kSlot, 0.5f, false);
    host->start(aggregate.aggregateID);
    dispatcher.advance(1.0);
    EXPECT_NEAR(deviceRms(0.2, 1.0), kSineRms * 0.5, 0.005);
    EXPECT_NEAR(levels.level(kSlot), 0.25f, 0.01f);
    // The health monitor reads the time of the last cycle in seconds through the host's scale.
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
}

TEST_F(IOProcHostSimTest, StoppedOrDestroyedHostLeavesNoCallbackAndTheAppPlaysDirectly) {
    host->start(aggregate.aggregateID);
    dispatcher.advance(0.5);
    host->stop();
    const uint64_t renders = host->diagCounter();
    EXPECT_EQ(simAudio.ioProcCount(), 0u);
    dispatcher.advance(0.5);
    EXPECT_EQ(host->diagCounter(), renders);
    EXPECT_NEAR(deviceRms(0.6, 1.0), kSineRms, 0.005);

    host->start(aggregate.aggregateID);
    dispatcher.advance(0.2);
    host.reset();
    EXPECT_EQ(simAudio.ioProcCount(), 0u);
    dispatcher.advance(0.5);  // device cycles keep running without touching the freed host
}

using IOProcHostRealTimeTest = HostOnSim<tobble::sim::TimeMode::Real>;

TEST_F(IOProcHostRealTimeTest, CrossfadeStatesComeAndGoWhileTheCallbackRuns) {
    auto cyclesPass = [this](uint64_t count) {
        const uint64_t target = host->diagCounter() + count;
        return eventually([&] { return host->diagCounter() >= target; });
    };
    host->start(aggregate.aggregateID);
    ASSERT_TRUE(cyclesPass(3));
    for (int round = 0; round < 12; ++round) {
        auto fade = std::make_unique<TAKCrossfadeState>();
        fade->beginPreparing();
        const auto role =
            round % 2 == 0 ? TAKIOProcHost::Role::secondary : TAKIOProcHost::Role::primary;
        host->attachCrossfade(*fade, role);
        volumes.write(kSlot, static_cast<float>(round) / 12.0f, round % 3 == 0);
        ASSERT_TRUE(cyclesPass(1));
        fade->startFading(512);
        ASSERT_TRUE(cyclesPass(2));
        if (role == TAKIOProcHost::Role::secondary) {
            EXPECT_GT(fade->secondarySamplesProcessed(), 0);
            EXPECT_GT(fade->progress(), 0.0f);
        }
        fade->finish();
        const uint64_t mark = host->detachCrossfade();
        ASSERT_TRUE(eventually([&] { return host->hasRenderedSince(mark); }));
        fade.reset();  // no cycle can still be using it
    }
    volumes.write(kSlot, 1.0f, false);
    ASSERT_TRUE(eventually([&] { return levels.isAudible(kSlot); }));
    host->stop();
    const uint64_t renders = host->diagCounter();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(host->diagCounter(), renders);
}

}  // namespace
}  // namespace tobble::engine
