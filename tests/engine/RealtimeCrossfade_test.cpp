#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine/TAKEngine.h"
#include "platform/audio/sim/SimAudioSystem.h"
#include "platform/dispatch/RealDispatcher.h"
#include "platform/log/CaptureSink.h"
#include "platform/system/InMemoryUserDefaults.h"
#include "platform/system/sim/SimRunningApplications.h"

namespace tobble::engine {
namespace {

// Real threads: the I/O callbacks run while the engine attaches, fades and detaches cross-fade
// states. Run under ThreadSanitizer (make test-tsan) this is the race check for that hand-over.
// The assertions only check that every migration completes and the sound ends up where it should.
TEST(RealtimeCrossfadeTest, RepeatedDeviceSwitchesWhileCallbacksRun) {
    log::ScopedCapture capture;
    dispatch::RealDispatcher dispatcher;
    audio::sim::SimAudioSystem audio(dispatcher);
    system::sim::SimRunningApplications apps;
    system::sim::SimProcessTable processes(audio, apps, 100);
    system::InMemoryUserDefaults defaults;
    TAKVolumeState volumes;
    TAKRMSBuffer levels;
    Environment env{dispatcher, audio, processes, apps, defaults, {}};
    auto engine = TAKEngine::make(env, {&volumes, &levels, nullptr});

    audio.addDevice({.uid = "a", .name = "A", .bufferFrames = 256, .makeDefault = true});
    audio.addDevice({.uid = "b", .name = "B", .bufferFrames = 256});
    for (pid_t pid : {300, 301}) {
        apps.launch(
            {.pid = pid, .bundleID = "com.example.app" + std::to_string(pid), .name = "app"});
        audio.startPlaying(audio.addProcess(
            {pid, "com.example.app" + std::to_string(pid), audio::sim::Signal::sine(440, 0.3f)}));
    }
    engine->start();

    auto waitFor = [&](const std::string& prefix, size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (capture->count(prefix) < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return capture->count(prefix) >= count;
    };
    ASSERT_TRUE(waitFor("pipeline built slot=", 2));

    const char* targets[] = {"b", "a", "b", "a", "b"};
    for (size_t i = 0; i < std::size(targets); ++i) {
        audio.setDefaultOutput(targets[i]);
        ASSERT_TRUE(waitFor("crossfade complete: 2/2 slots migrated to ", i + 1)) << "switch " << i;
    }
    engine->stop();
    EXPECT_TRUE(audio.aggregates().empty());
    EXPECT_EQ(audio.ioProcCount(), 0u);
    EXPECT_EQ(engine->retiredCrossfadeCountForTesting(), 0u);
}

}  // namespace
}  // namespace tobble::engine
