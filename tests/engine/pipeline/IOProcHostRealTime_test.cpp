// The I/O callback host on real threads, over a real aggregate of a tapped application in the
// simulated system: the engine-side writes race the audio thread here, which is what the
// sanitizer builds need to see. It checks what happened, never how long it took.
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

constexpr uint32_t kSlot = 4;

class IOProcHostRealTimeTest : public ::testing::Test {
  protected:
    ~IOProcHostRealTimeTest() override {
        host.reset();
        aggregates.destroy(aggregate);
        taps.destroy(tap);
    }

    log::ScopedCapture capture;
    tobble::sim::SimEnvironment desktop{tobble::sim::TimeMode::Real};
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
    std::unique_ptr<TAKIOProcHost> host = std::make_unique<TAKIOProcHost>(
        kSlot, volumes, levels, simAudio, desktop.dispatcher().clock(),
        desktop.dispatcher().makeSerialQueue("test.ioproc", dispatch::QoS::UserInteractive));
};

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
