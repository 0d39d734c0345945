#include <gtest/gtest.h>

#include "engine/TAKEngine.h"
#include "platform/log/CaptureSink.h"
#include "platform/sim/SimEnvironment.h"
#include "tests/support/Eventually.h"

namespace tobble::engine {
namespace {

using tobble::testing::eventually;

// Real threads: the I/O callbacks run while the engine attaches, fades and detaches cross-fade
// states. Run under ThreadSanitizer (make test-tsan) this is the race check for that hand-over.
// The assertions only check that every migration completes and the sound ends up where it should.
class RealtimeCrossfadeTest : public ::testing::Test {
  protected:
    bool logged(const std::string& prefix, size_t count) {
        return eventually([&] { return capture->count(prefix) >= count; },
                          std::chrono::seconds(10));
    }
    // Stops the engine and waits for what stop() queued (the watcher's listener removal must run
    // before the desktop goes).
    void stop() {
        engine->stop();
        engine->queue()->sync([] {});
    }

    log::ScopedCapture capture;
    sim::SimEnvironment desktop{{.time = sim::TimeMode::Real, .ownPid = 100}};
    audio::sim::SimAudioSystem& audio = desktop.audio();
    TAKVolumeState volumes;
    TAKRMSBuffer levels;
    std::shared_ptr<TAKEngine> engine =
        TAKEngine::make(desktop.environment(), {&volumes, &levels, nullptr});
};

TEST_F(RealtimeCrossfadeTest, RepeatedDeviceSwitchesWhileCallbacksRun) {
    audio.addDevice({.uid = "a", .name = "A", .bufferFrames = 256, .makeDefault = true});
    audio.addDevice({.uid = "b", .name = "B", .bufferFrames = 256});
    for (pid_t pid : {300, 301})
        desktop.addApp(pid, "com.example.app" + std::to_string(pid), "app", 440, 0.3f);
    engine->start();
    ASSERT_TRUE(logged("pipeline built slot=", 2));
    const char* targets[] = {"b", "a", "b", "a", "b"};
    for (size_t i = 0; i < std::size(targets); ++i) {
        audio.setDefaultOutput(targets[i]);
        ASSERT_TRUE(logged("crossfade complete: 2/2 slots migrated to ", i + 1)) << "switch " << i;
    }
    stop();
    EXPECT_TRUE(audio.aggregates().empty());
    EXPECT_EQ(audio.ioProcCount(), 0u);
    EXPECT_EQ(engine->retiredCrossfadeCountForTesting(), 0u);
}

// stop() while a migration runs on real threads: the notification of yet another output and
// the migration's follow-up reach the engine's queue around the stop. None of them may start a
// keep-alive on the stopped engine or leave it a device: the next start plays on the output
// that is the default then.
TEST_F(RealtimeCrossfadeTest, StopDuringAMigrationThenStartUsesTheCurrentOutput) {
    constexpr uint32_t kBluetooth = audio::kAudioDeviceTransportTypeBluetooth;
    audio.addDevice({.uid = "speakers", .name = "Speakers", .makeDefault = true});
    audio.addDevice({.uid = "headset", .name = "Headset", .transportType = kBluetooth});
    audio.addDevice({.uid = "buds", .name = "Buds", .transportType = kBluetooth});
    desktop.addApp(300, "com.example.app", "app", 440, 0.3f);
    engine->start();
    ASSERT_TRUE(logged("pipeline built slot=", 1));

    // The stop is asked for as soon as the migration has begun (a migration to a wireless
    // output takes a few cycles, a poll a millisecond), so it waits behind it on the queue.
    audio.setDefaultOutput("headset");
    ASSERT_TRUE(eventually([&] { return capture->count("default-output changed to id=") >= 1; },
                           std::chrono::seconds(10), std::chrono::milliseconds(1)));
    audio.setDefaultOutput("buds");
    stop();  // whatever was queued behind the stop has run
    EXPECT_FALSE(engine->keepaliveForTesting().isRunning());
    EXPECT_EQ(audio.ioProcCount(), 0u);
    EXPECT_TRUE(audio.taps().empty());

    audio.setDefaultOutput("speakers");
    engine->start();
    ASSERT_TRUE(logged("pipeline built slot=", 2));
    engine->queue()->sync([&] {
        const auto pipelines = engine->pipelinesForTesting();
        ASSERT_EQ(pipelines.size(), 1u);
        EXPECT_EQ(pipelines[0].aggregate.outputUID, "speakers");
        EXPECT_FALSE(engine->keepaliveForTesting().isRunning());
    });
    stop();
}

}  // namespace
}  // namespace tobble::engine
