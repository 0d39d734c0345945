#include <gtest/gtest.h>

#include <cmath>

#include "tests/engine/EngineTestBed.h"

namespace tobble::engine {
namespace {

using tobble::testing::EngineTestBed;

class EngineTest : public ::testing::Test, public EngineTestBed {};

TEST_F(EngineTest, PlayingAppGetsAPipelineAndIsHeardAtItsSavedVolume) {
    addSpeakers();
    savedVolumes.saved["com.example.Music"] = {0.5f, false};
    engine->start();
    EXPECT_TRUE(audio.taps().empty());

    launch(300, "com.example.Music");
    advance(0.1 + 0.05);  // one debounce and the pass it triggers
    const auto e = entry(300);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->state, TAKTapEntry::State::active);
    EXPECT_EQ(audio.taps().size(), 1u);
    EXPECT_EQ(audio.aggregates().size(), 1u);
    EXPECT_EQ(audio.runningIOProcCount(), 1u);

    // After the warm-up the app is heard through its pipeline only, at half gain.
    const double from = now() + 0.1;
    advance(1.0);
    const auto cycles = audio.cycles("speakers", from, now());
    ASSERT_FALSE(cycles.empty());
    for (const auto& c : cycles) {
        EXPECT_NEAR(c.rms, 0.3536 * 0.5, 0.01);
        EXPECT_NEAR(c.directRms, 0.0, 1e-6);
    }
}

TEST_F(EngineTest, OwnProcessAndSilentAppsGetNoSlotUntilTheyPlay) {
    addSpeakers();
    launch(EngineTestBed::kOwnPid, "org.tobble.app");
    const auto quiet = launch(301, "com.example.Quiet", /*playing=*/false);
    engine->start();
    advance(2.0);
    EXPECT_FALSE(entry(EngineTestBed::kOwnPid).has_value());
    EXPECT_FALSE(entry(301).has_value());
    audio.startPlaying(quiet);
    advance(0.2);
    EXPECT_TRUE(hasPipeline(301));
    // An app without a saved volume starts at full volume.
    EXPECT_EQ(volumeState.volume(entry(301)->slot), 1.0f);
    EXPECT_FALSE(volumeState.muted(entry(301)->slot));
}

TEST_F(EngineTest, ExitedAppKeepsItsPipelineForThirtySecondsUnlessItComesBack) {
    addSpeakers();
    launch(310, "com.example.A");
    launch(311, "com.example.B");
    engine->start();
    EXPECT_TRUE(hasPipeline(310));
    const uint32_t generationBefore = engine->catalogGeneration();

    exit(310);
    advance(29.0);
    EXPECT_TRUE(hasPipeline(310));
    advance(2.0);
    EXPECT_FALSE(hasPipeline(310));
    EXPECT_FALSE(entry(310).has_value());
    EXPECT_EQ(engine->catalogGeneration(), generationBefore + 1);
    EXPECT_EQ(volumeState.volume(0), 1.0f);
    EXPECT_EQ(rmsBuffer.level(0), 0.0f);

    // B's process vanishes from the workspace and the audio list for a moment, then is back.
    processes.addProcess(311);  // the pid itself survives
    audio.exitProcess(311);
    apps.terminate(311);
    processes.removeProcess(311);
    advance(1.0);
    launch(311, "com.example.B");
    advance(41.0);
    EXPECT_TRUE(hasPipeline(311));
}

// An application that exits while every slot is taken meters silence and is evicted before its
// grace ends: the eviction cancels the pending teardown, so nothing of it runs on the slot's
// new tenant later.
TEST_F(EngineTest, EvictionCancelsThePendingTeardownOfAnExitedApp) {
    fillEverySlot();
    exit(1007);
    advance(1.0);
    ASSERT_EQ(engine->pendingDestroyCountForTesting(), 1u);
    savedVolumes.saved["com.example.late"] = {0.5f, false};
    launch(2000, "com.example.late");
    advance(8.0);
    EXPECT_FALSE(entry(1007).has_value());
    EXPECT_EQ(engine->pendingDestroyCountForTesting(), 0u);
    advance(30.0);
    const auto newcomer = entry(2000);
    ASSERT_TRUE(newcomer.has_value());
    EXPECT_TRUE(hasPipeline(2000));
    EXPECT_EQ(volumeState.volume(newcomer->slot), 0.5f);
    EXPECT_TRUE(rmsBuffer.isAudible(newcomer->slot));
}

TEST_F(EngineTest, StopLeavesNothingBehindAndStartBeginsAfresh) {
    addSpeakers();
    launch(320, "com.example.A");
    launch(321, "com.example.B");
    engine->start();
    engine->start();  // already running: nothing doubles
    advance(1.0);
    EXPECT_EQ(audio.runningIOProcCount(), 2u);

    engine->stop();
    EXPECT_TRUE(audio.taps().empty());
    EXPECT_TRUE(audio.aggregates().empty());
    EXPECT_EQ(audio.ioProcCount(), 0u);
    EXPECT_EQ(engine->catalog(), nullptr);
    advance(5.0);  // no timer or listener brings anything back
    EXPECT_TRUE(audio.taps().empty());
    EXPECT_EQ(audio.listenerCount(), 0u);

    engine->stop();  // twice is harmless
    engine->start();
    const auto e = entry(320);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->generation, 1u);
    EXPECT_LT(e->slot, 2u);
}

TEST_F(EngineTest, FailedTapFreesTheSlotAndIsRetriedOnTheNextPass) {
    addSpeakers();
    engine->start();
    audio.failNext(audio::sim::SimCall::CreateProcessTap,
                   audio::kAudioHardwareIllegalOperationError, 2);
    launch(330, "com.example.A");
    advance(0.15);
    EXPECT_EQ(capture->count("tap create failed parentPID=330: CoreAudio error 1852797029 (nope): "
                             "AudioHardwareCreateProcessTap pid=330 n=1"),
              1u);
    // The launch notification ran the failing pass at once; the watcher's pass retried it.
    advance(1.0);
    EXPECT_TRUE(hasPipeline(330));
    EXPECT_EQ(entry(330)->slot, 0u);
    EXPECT_EQ(entry(330)->generation, 3u);  // taken, released, taken again
}

TEST_F(EngineTest, NoOutputDeviceMeansNoPipelinesUntilOneAppears) {
    engine->start();
    launch(340, "com.example.A");
    advance(3.0);
    EXPECT_TRUE(entry(340).has_value());
    EXPECT_FALSE(hasPipeline(340));
    addSpeakers();
    advance(1.0);
    EXPECT_TRUE(hasPipeline(340));
}

TEST_F(EngineTest, KeepaliveRunsOnlyOnBluetoothAndFirstPipelineThereWarmsUpLonger) {
    addSpeakers("headphones", audio::kAudioDeviceTransportTypeBluetooth);
    launch(350, "com.example.A");
    launch(351, "com.example.B");
    engine->start();
    EXPECT_TRUE(engine->keepaliveForTesting().isRunning());
    // The first pipeline on a wireless device stays silent for 400 ms, the next for 43 ms.
    advance(0.2);
    EXPECT_NE(rmsBuffer.isAudible(entry(350)->slot), rmsBuffer.isAudible(entry(351)->slot));
    advance(0.3);
    EXPECT_TRUE(rmsBuffer.isAudible(entry(350)->slot) && rmsBuffer.isAudible(entry(351)->slot));

    addSpeakers("wired");
    advance(1.0);
    EXPECT_FALSE(engine->keepaliveForTesting().isRunning());
}

// The warm-up lasts 43 ms at the tap's rate; when the tap's format cannot be read it is counted
// at 48 kHz (2064 frames), for a new pipeline and for a migration's new one alike. A migration's
// cross-fade state is released by the health check after it.
struct Warmup {
    const char* name;
    bool formatReadable;
    bool afterMigration;
    int remainingAfterFirstCycle;
};

class WarmupTest : public ::testing::TestWithParam<Warmup>, public EngineTestBed {};

TEST_P(WarmupTest, CountsAtTheTapsRateOr48kHz) {
    const auto& w = GetParam();
    for (const char* uid : {"speakers", "usb"}) {
        audio.addDevice({.uid = uid,
                         .name = uid,
                         .sampleRate = 44100.0,
                         .makeDefault = std::string_view(uid) == "speakers"});
    }
    launch(360, "com.example.A");
    const auto failFormatRead = [this] {
        audio.failNext(audio::sim::SimCall::GetPropertyData,
                       audio::kAudioHardwareUnknownPropertyError, 1,
                       audio::kAudioTapPropertyFormat);
    };
    if (!w.formatReadable && !w.afterMigration) failFormatRead();
    engine->start();
    advance(1.1);  // the callback's lines are written by the one-second timer
    if (w.afterMigration) {
        capture->clear();
        if (!w.formatReadable) failFormatRead();
        audio.setDefaultOutput("usb");
        advance(1.1);
    }
    EXPECT_TRUE(capture->contains("IOProc slot=0 tick=1 warmup-mute frames=512 remaining=" +
                                  std::to_string(w.remainingAfterFirstCycle)));
    EXPECT_EQ(engine->retiredCrossfadeCountForTesting(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Pipelines, WarmupTest,
    ::testing::Values(Warmup{"New", true, false, 1896 - 512},  // 0.043 s × 44100 Hz
                      Warmup{"NewWithoutFormat", false, false, 2064 - 512},
                      Warmup{"Migrated", true, true, 1896 - 512},
                      Warmup{"MigratedWithoutFormat", false, true, 2064 - 512}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace tobble::engine
