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
TEST(RealtimeCrossfadeTest, RepeatedDeviceSwitchesWhileCallbacksRun) {
    log::ScopedCapture capture;
    sim::SimEnvironment desktop({.time = sim::TimeMode::Real, .ownPid = 100});
    auto& audio = desktop.audio();
    TAKVolumeState volumes;
    TAKRMSBuffer levels;
    auto engine = TAKEngine::make(desktop.environment(), {&volumes, &levels, nullptr});

    audio.addDevice({.uid = "a", .name = "A", .bufferFrames = 256, .makeDefault = true});
    audio.addDevice({.uid = "b", .name = "B", .bufferFrames = 256});
    for (pid_t pid : {300, 301})
        desktop.addApp(pid, "com.example.app" + std::to_string(pid), "app", 440, 0.3f);
    engine->start();

    auto logged = [&](const std::string& prefix, size_t count) {
        return eventually([&] { return capture->count(prefix) >= count; },
                          std::chrono::seconds(10));
    };
    ASSERT_TRUE(logged("pipeline built slot=", 2));
    const char* targets[] = {"b", "a", "b", "a", "b"};
    for (size_t i = 0; i < std::size(targets); ++i) {
        audio.setDefaultOutput(targets[i]);
        ASSERT_TRUE(logged("crossfade complete: 2/2 slots migrated to ", i + 1)) << "switch " << i;
    }
    engine->stop();
    // The watcher's listener removal was queued by stop(); it must run before the desktop goes.
    engine->queue()->sync([] {});
    EXPECT_TRUE(audio.aggregates().empty());
    EXPECT_EQ(audio.ioProcCount(), 0u);
    EXPECT_EQ(engine->retiredCrossfadeCountForTesting(), 0u);
}

}  // namespace
}  // namespace tobble::engine
