#include <gtest/gtest.h>

#include <vector>

#include "engine/core/TAKProcessRegistryWatcher.h"
#include "platform/audio/sim/SimAudioSystem.h"
#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/log/CaptureSink.h"

namespace tobble::engine {
namespace {

using audio::sim::ProcessConfig;

class WatcherTest : public ::testing::Test {
  protected:
    dispatch::VirtualDispatcher dispatcher;
    audio::sim::SimAudioSystem sim{dispatcher};
    dispatch::QueuePtr queue = dispatcher.makeSerialQueue("reconcile");
    std::vector<double> changes;
    std::shared_ptr<TAKProcessRegistryWatcher> watcher = TAKProcessRegistryWatcher::make(
        sim, queue, [this] { changes.push_back(dispatcher.now()); }, 0.1);
    audio::AudioObjectID a = sim.addProcess(ProcessConfig{101, "com.example.A", {}});
    audio::AudioObjectID b = sim.addProcess(ProcessConfig{102, "com.example.B", {}});

    void SetUp() override { dispatcher.runDue(); }
};

TEST_F(WatcherTest, BurstOfRunningChangesGivesOneCallAfterTheQuietPeriod) {
    watcher->start();
    dispatcher.runDue();
    const double start = dispatcher.now();
    for (int i = 0; i < 10; ++i) {
        sim.setRunning(a, i % 2 == 0, false);  // every call is a real change
        dispatcher.advance(0.02);
    }
    dispatcher.advance(1.0);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_NEAR(changes[0], start + 0.18 + 0.1, 1e-6);
}

TEST_F(WatcherTest, FollowsTheProcessListStartsOnceAndABriefProcessLeavesNoTrace) {
    log::ScopedCapture capture;
    watcher->start();
    watcher->start();
    dispatcher.runDue();
    EXPECT_EQ(sim.listenerCount(), 3u);  // the list plus one per process

    const auto c = sim.addProcess(ProcessConfig{103, "com.example.C", {}});
    dispatcher.advance(0.5);
    EXPECT_EQ(sim.listenerCount(), 4u);
    EXPECT_EQ(changes.size(), 1u);  // a list change counts as a change

    sim.setRunning(c, true, true);
    dispatcher.advance(0.5);
    EXPECT_EQ(changes.size(), 2u);

    sim.removeProcessObject(a);
    dispatcher.advance(0.5);
    EXPECT_EQ(sim.listenerCount(), 3u);

    // One that comes and goes between two refreshes.
    const auto brief = sim.addProcess(ProcessConfig{104, "com.example.Brief", {}});
    sim.removeProcessObject(brief);
    dispatcher.advance(0.5);
    EXPECT_EQ(sim.listenerCount(), 3u);
    EXPECT_TRUE(capture->messages(log::Level::Error).empty());
}

TEST_F(WatcherTest, StoppedWatcherHearsNothingCanStartAgainAndLeavesNoRegistrationWhenDropped) {
    watcher->stop();  // never installed: nothing happens
    watcher->start();
    dispatcher.runDue();
    sim.setRunning(a, true, true);  // a change whose notification is already on its way
    watcher->stop();
    sim.addProcess(ProcessConfig{105, "com.example.D", {}});
    dispatcher.advance(1.0);
    EXPECT_TRUE(changes.empty());
    EXPECT_EQ(sim.listenerCount(), 0u);

    watcher->start();
    dispatcher.runDue();
    EXPECT_EQ(sim.listenerCount(), 4u);
    sim.setRunning(b, true, true);
    watcher->stop();
    watcher.reset();  // the owner lets go right after stopping
    dispatcher.advance(1.0);
    EXPECT_TRUE(changes.empty());
    EXPECT_EQ(sim.listenerCount(), 0u);

    // The engine stops it on its own queue, and a quitting program lets the hardware go as soon
    // as that returns: nothing may be left to do on the hardware later.
    watcher = TAKProcessRegistryWatcher::make(
        sim, queue, [] {}, 0.1);
    watcher->start();
    dispatcher.runDue();
    queue->async([&] {
        watcher->stop();
        EXPECT_EQ(sim.listenerCount(), 0u) << "a removal left for after stop() returned";
    });
    dispatcher.runDue();
}

TEST_F(WatcherTest, FailedInstallIsLoggedAndRetryable) {
    log::ScopedCapture capture;
    sim.failNext(audio::sim::SimCall::AddPropertyListener,
                 audio::kAudioHardwareIllegalOperationError);
    watcher->start();
    EXPECT_FALSE(watcher->isInstalled());
    EXPECT_TRUE(capture->contains("ProcessRegistryWatcher install failed status=1852797029"));
    watcher->start();
    EXPECT_TRUE(watcher->isInstalled());
}

}  // namespace
}  // namespace tobble::engine
