// The I/O callback host on real threads: the engine-side writes race the audio thread here,
// which is what the sanitizer builds need to see. Short, and tolerant of scheduling: these
// check what happened, never how long it took.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "engine/pipeline/TAKAggregateBuilder.h"
#include "engine/pipeline/TAKIOProcHost.h"
#include "engine/pipeline/TAKTapManager.h"
#include "platform/audio/sim/SimAudioSystem.h"
#include "platform/dispatch/RealDispatcher.h"
#include "platform/log/CaptureSink.h"

namespace tobble::engine {
namespace {

using namespace audio;
using namespace std::chrono_literals;

constexpr uint32_t kSlot = 9;

class IOProcHostRealTimeTest : public ::testing::Test {
  protected:
    void SetUp() override { sim.startPlaying(player); }
    void TearDown() override {
        host.reset();
        aggregates.destroy(aggregate);
        taps.destroy(tap);
    }
    template <typename Predicate>
    static bool eventually(Predicate done) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
    bool cyclesPass(uint64_t count) {
        const uint64_t target = host->diagCounter() + count;
        return eventually([&] { return host->diagCounter() >= target; });
    }

    log::ScopedCapture capture;
    dispatch::RealDispatcher dispatcher;
    sim::SimAudioSystem sim{dispatcher};
    AudioObjectID speakers = sim.addDevice(
        {.uid = "speakers", .name = "Speakers", .bufferFrames = 256, .makeDefault = true});
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

TEST_F(IOProcHostRealTimeTest, CrossfadeStatesComeAndGoWhileTheCallbackRuns) {
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
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(host->diagCounter(), renders);
}

}  // namespace
}  // namespace tobble::engine
