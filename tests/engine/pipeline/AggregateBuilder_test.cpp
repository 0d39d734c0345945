#include <gtest/gtest.h>

#include "engine/TAKCrashGuard.h"
#include "engine/core/Identity.h"
#include "engine/pipeline/TAKAggregateBuilder.h"
#include "engine/pipeline/TAKTapManager.h"
#include "platform/audio/sim/SimAudioSystem.h"
#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/log/CaptureSink.h"
#include "tests/engine/ErrorText.h"

namespace tobble::engine {
namespace {

using namespace audio;

class AggregateBuilderTest : public ::testing::Test {
  protected:
    dispatch::VirtualDispatcher dispatcher;
    sim::SimAudioSystem sim{dispatcher};
    TAKAggregateBuilder builder{sim};
    log::ScopedCapture capture;
    AudioObjectID speakers =
        sim.addDevice({.uid = "speakers", .name = "Speakers", .makeDefault = true});
    AudioObjectID process = sim.addProcess({42, "com.example.A", {}});
    TAKTap tap = TAKTapManager(sim).createTap(42, {process}, std::string("speakers"));

    void SetUp() override {
        TAKCrashGuard::install(sim);
        TAKCrashGuard::clearForTesting();
    }
    void TearDown() override { TAKCrashGuard::clearForTesting(); }
};

TEST_F(AggregateBuilderTest, EveryBuildGetsItsOwnPrefixedUIDAndIsTrackedUntilDestroyed) {
    const auto first = builder.build(tap.uid, "speakers");
    const auto second = builder.build(tap.uid, "speakers");
    EXPECT_NE(first.aggregateUID, second.aggregateUID);
    for (const auto& info : {first, second}) {
        EXPECT_TRUE(info.aggregateUID.starts_with(aggregateUIDPrefix()));
        EXPECT_EQ(info.aggregateUID.size(), aggregateUIDPrefix().size() + 36);
        EXPECT_EQ(info.outputUID, "speakers");
    }
    EXPECT_EQ(TAKCrashGuard::trackedForTesting(),
              (std::vector<AudioObjectID>{first.aggregateID, second.aggregateID}));

    builder.destroy(first);
    builder.destroy(second);
    EXPECT_TRUE(TAKCrashGuard::trackedForTesting().empty());
    EXPECT_TRUE(sim.aggregates().empty());
}

TEST_F(AggregateBuilderTest, FailedCreationTracksNothing) {
    sim.failNext(sim::SimCall::CreateAggregateDevice, kAudioHardwareUnspecifiedError);
    EXPECT_EQ(tobble::testing::errorOf([&] { builder.build(tap.uid, "speakers"); }),
              "CoreAudio error 2003329396 (what): AudioHardwareCreateAggregateDevice");
    EXPECT_TRUE(TAKCrashGuard::trackedForTesting().empty());
}

TEST_F(AggregateBuilderTest, DestroyingAVanishedAggregateLogsOnce) {
    const auto info = builder.build(tap.uid, "speakers");
    sim.killAggregate(info.aggregateID);
    builder.destroy(info);
    EXPECT_EQ(capture->messages(log::Level::Error),
              std::vector<std::string>{"aggregate destroy failed status=560947818 (!obj) id=" +
                                       std::to_string(info.aggregateID)});
    EXPECT_TRUE(TAKCrashGuard::trackedForTesting().empty());
}

}  // namespace
}  // namespace tobble::engine
