// Paths where the engine used to leave a user hearing the wrong thing.
#include <gtest/gtest.h>

#include "engine/core/HostTime.h"
#include "tests/engine/EngineTestBed.h"

namespace tobble::engine {
namespace {

using tobble::testing::EngineTestBed;

class EngineFaultTest : public ::testing::Test, public EngineTestBed {};

// A pipeline whose callbacks stop while its application has left the grouped process list is
// torn down; once the application is listed again it must be tapped again at its saved volume,
// not play on untapped behind a row whose slider does nothing.
TEST_F(EngineFaultTest, DestructiveRecreateAdmitsTheApplicationAgainAtItsSavedVolume) {
    addSpeakers();
    audio.setSampleHistorySeconds(60);
    savedVolumes.saved["com.example.A"] = {0.25f, false};
    const auto object = launch(400, "com.example.A");
    engine->start();
    advance(5.5);
    ASSERT_NEAR(levelOn("speakers"), 0.25 * 0.3536, 0.01);

    audio.setCallbacksStalled(aggregateOf(400), true);
    audio.setRunning(object, false, true);  // still producing sound, but not listed as running
    advance(9.0);                           // three missed checks, then the teardown
    ASSERT_TRUE(capture->contains(
        "health monitor recreate: parentPID=400 not in registry — destructive teardown"));

    audio.setRunning(object, true, true);
    advance(1.5);  // within one reconcile interval plus the warm-up
    const auto e = entry(400);
    ASSERT_TRUE(e.has_value());
    EXPECT_TRUE(e->tap.has_value());
    EXPECT_TRUE(hasPipeline(400));
    EXPECT_NEAR(levelOn("speakers"), 0.25 * 0.3536, 0.01);
}

// A listener call or queued follow-up that arrives after stop() must not bring the engine's
// device state back: no keep-alive on a stopped engine, and the next start plays on the device
// that is the default then.
TEST_F(EngineFaultTest, NothingRunsOnAStoppedEngineAndTheNextStartReadsTheCurrentDevice) {
    addSpeakers();
    addOutput("buds", audio::kAudioDeviceTransportTypeBluetooth);
    launch(410, "com.example.A");
    engine->start();
    advance(1.0);
    const uint32_t running = engine->catalogGeneration();

    engine->stop();
    EXPECT_NE(engine->catalogGeneration(), running) << "a stop is a change of the client list";
    // A notification already on its way when the listener was removed.
    audio.setDefaultOutput("buds");
    engine->notifyDefaultOutputForTesting();
    advance(2.0);
    EXPECT_FALSE(engine->keepaliveForTesting().isRunning());
    EXPECT_EQ(audio.ioProcCount(), 0u);
    EXPECT_TRUE(audio.aggregates().empty());

    audio.setDefaultOutput("speakers");
    engine->start();
    advance(1.0);
    const auto pipelines = engine->pipelinesForTesting();
    ASSERT_EQ(pipelines.size(), 1u);
    EXPECT_EQ(pipelines[0].aggregate.outputUID, "speakers");
    EXPECT_FALSE(engine->keepaliveForTesting().isRunning());
}

// A muted application meters silence because we silence it. Evicting it would make it heard,
// unmuted, until admitted again: it is never the one evicted. With every other slot heard the
// 33rd application is refused on every pass; one that falls silent makes room for it.
TEST_F(EngineFaultTest, AMutedApplicationIsNeverEvicted) {
    const auto objects = fillEverySlot();
    ASSERT_EQ(engine->pipelinesForTesting().size(), 32u);
    volumeState.write(entry(1007)->slot, 1.0f, true);

    launch(2000, "com.example.late");
    advance(8.0);
    EXPECT_TRUE(hasPipeline(1007)) << "the muted application was evicted";
    EXPECT_FALSE(entry(2000).has_value());

    // Another candidate, silent on its own, makes room instead, its slot under a new identity.
    audio.setSignal(objects[8], audio::sim::Signal::silence());
    const auto victim = entry(1008);
    advance(8.0);
    EXPECT_FALSE(entry(1008).has_value());
    EXPECT_TRUE(hasPipeline(2000));
    EXPECT_TRUE(hasPipeline(1007));
    EXPECT_EQ(entry(2000)->slot, victim->slot);
    EXPECT_GT(entry(2000)->generation, victim->generation);
}

// Removals that fail now and then (callback, device stop, aggregate, tap) while pipelines are
// built, the output changes twice and an application exits: a failed removal is kept and tried
// again, never forgotten, and a callback whose removal failed is never heard again. Every
// application stays at its volume and mute, and after stop() nothing is left behind.
TEST_F(EngineFaultTest, FailedRemovalsAreRetriedAndNothingIsLeftAfterStop) {
    using audio::sim::SimCall;
    addSpeakers();
    addOutput("usb", audio::kAudioDeviceTransportTypeUSB);
    audio.setSampleHistorySeconds(60);
    savedVolumes.saved["com.example.A"] = {0.5f, false};
    savedVolumes.saved["com.example.B"] = {1.0f, true};
    launch(420, "com.example.A");
    launch(421, "com.example.B");
    launch(422, "com.example.C");
    const auto failRemovals = [this] {
        for (auto call : {SimCall::DestroyIOProcID, SimCall::DeviceStop,
                          SimCall::DestroyAggregateDevice, SimCall::DestroyProcessTap})
            audio.failNext(call, audio::kAudioHardwareIllegalOperationError);
    };
    // What is heard: A at half, B muted, C at full while it runs; on the default device only.
    const auto expectHeard = [this](const std::string& on, bool withC, const char* when) {
        const double expected = 0.3536 * (withC ? 1.5 : 0.5);
        EXPECT_NEAR(levelOn(on), expected, 0.01) << when;
        const std::string other = on == "usb" ? "speakers" : "usb";
        EXPECT_NEAR(levelOn(other), 0.0, 1e-3) << when;
    };

    failRemovals();  // the first build's removals: one callback's device start fails below too
    audio.failNext(SimCall::DeviceStart, audio::kAudioHardwareIllegalOperationError);
    engine->start();
    advance(3.0);
    expectHeard("speakers", true, "after the builds");

    failRemovals();
    audio.setDefaultOutput("usb");
    advance(3.0);
    expectHeard("usb", true, "after the first output change");

    failRemovals();
    audio.setDefaultOutput("speakers");
    advance(3.0);
    expectHeard("speakers", true, "after the second output change");

    failRemovals();
    exit(422);
    advance(35.0);  // the exit's grace, then the teardown
    expectHeard("speakers", false, "after the exit");
    EXPECT_EQ(engine->pipelinesForTesting().size(), 2u);
    EXPECT_EQ(audio.taps().size(), 2u) << "taps left behind while running";
    EXPECT_EQ(audio.ioProcCount(), 2u) << "callbacks left behind while running";
    EXPECT_EQ(engine->pendingTeardownCountForTesting(), 0u);

    failRemovals();
    engine->stop();
    EXPECT_EQ(audio.taps().size(), 0u);
    EXPECT_EQ(aliveAggregates(), 0u);
    EXPECT_EQ(audio.runningIOProcCount(), 0u);
    EXPECT_EQ(audio.ioProcCount(), 0u);
}

TEST(CallbackLateness, OnlyAMissingOrOldRenderIsLate) {
    constexpr double kLimit = 3e9;
    struct Case {
        uint64_t last, now;
        bool late;
    } const cases[] = {
        {0, 5'000'000'000, true},               // never rendered
        {1'000'000'000, 5'000'000'000, true},   // 4 s ago
        {3'000'000'000, 5'000'000'000, false},  // 2 s ago
        {5'000'000'100, 5'000'000'000, false},  // stamped slightly ahead of our clock
    };
    for (const auto& c : cases) EXPECT_EQ(isLate(c.last, c.now, 1.0, kLimit), c.late) << c.last;
}

}  // namespace
}  // namespace tobble::engine
