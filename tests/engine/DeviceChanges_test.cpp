#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tests/engine/EngineTestBed.h"

namespace tobble::engine {
namespace {

using audio::sim::SimCall;
using tobble::testing::EngineTestBed;

// Sum of squares of channel 0 per 10 ms window, from the device's recorded cycles.
std::vector<double> windowEnergy(const audio::sim::SimAudioSystem& audio, const std::string& uid,
                                 double from, double to, double window, double rate = 48000.0) {
    std::vector<double> energy(static_cast<size_t>(std::floor((to - from) / window + 1e-9)), 0.0);
    const auto cycles = audio.cycles(uid, from - 0.05, to);
    const auto samples = audio.samples(uid, 0, from - 0.05, to);
    size_t offset = 0;
    for (const auto& cycle : cycles) {
        for (uint32_t i = 0; i < cycle.frames && offset + i < samples.size(); ++i) {
            const double t = cycle.time + i / rate;
            if (t < from || t >= to) continue;
            const auto w = static_cast<size_t>((t - from) / window);
            if (w < energy.size()) energy[w] += samples[offset + i] * samples[offset + i];
        }
        offset += cycle.frames;
    }
    return energy;
}

class DeviceChangeTest : public ::testing::Test, public EngineTestBed {
  protected:
    void SetUp() override {
        addSpeakers("wired");
        audio.setSampleHistorySeconds(60);
    }

    // Largest deviation, in dB, of the combined level of both devices from the level before
    // the switch, over 10 ms windows around it.
    double migrate(const std::string& target, int appCount) {
        for (int i = 0; i < appCount; ++i)
            launch(400 + i, "com.example.app" + std::to_string(i), true, 440.0 + 110.0 * i);
        engine->start();
        advance(2.0);
        const double window = 0.01;
        const double switchAt = now();
        const auto steady = windowEnergy(audio, "wired", switchAt - 0.5, switchAt, window);
        double steadyEnergy = 0;
        for (double e : steady) steadyEnergy += e;
        steadyEnergy /= static_cast<double>(steady.size());

        audio.setDefaultOutput(target);
        advance(1.0);
        const auto a = windowEnergy(audio, "wired", switchAt - 0.1, switchAt + 0.5, window);
        const auto b = windowEnergy(audio, target, switchAt - 0.1, switchAt + 0.5, window);
        double worst = 0;
        for (size_t w = 0; w < a.size(); ++w) {
            const double db = 10.0 * std::log10((a[w] + b[w]) / steadyEnergy);
            if (std::getenv("TOBBLE_TRACE_WINDOWS"))
                std::printf("w%zu a=%g b=%g db=%.2f\n", w, a[w], b[w], db);
            if (std::abs(db) > std::abs(worst)) worst = db;
        }
        migrationSeconds = timeOf("crossfade complete: ") - switchAt;
        return worst;
    }

    double migrationSeconds = -1;
};

TEST_F(DeviceChangeTest, OneAppFollowsAWiredDeviceWithoutGapOrBurst) {
    audio.addDevice(
        {.uid = "usb", .name = "USB DAC", .transportType = audio::kAudioDeviceTransportTypeUSB});
    const double worst = migrate("usb", 1);
    std::printf("[ measured ] one app, wired target: worst deviation %.2f dB, migration %.1f ms\n",
                worst, migrationSeconds * 1000);
    EXPECT_LE(std::abs(worst), 3.0);
    EXPECT_TRUE(capture->contains("crossfade complete: 1/1 slots migrated to usb"));
    EXPECT_GT(migrationSeconds, 0);
    EXPECT_LE(migrationSeconds, 0.1 + 0.06);

    // Afterwards the app plays on the new device only, through its new pipeline.
    for (const auto& c : audio.cycles("usb", now() - 0.3, now())) EXPECT_NEAR(c.rms, 0.3536, 0.01);
    for (const auto& c : audio.cycles("wired", now() - 0.3, now())) EXPECT_NEAR(c.rms, 0.0, 1e-6);
    EXPECT_EQ(audio.aggregates().size(), 1u);
    EXPECT_EQ(audio.taps().size(), 1u);
    EXPECT_EQ(engine->pipelinesForTesting().at(0).aggregate.outputUID, "usb");
}

TEST_F(DeviceChangeTest, ThreeAppsFollowABluetoothDeviceWithoutGapOrBurst) {
    audio.addDevice({.uid = "buds",
                     .name = "Buds",
                     .transportType = audio::kAudioDeviceTransportTypeBluetooth});
    const double worst = migrate("buds", 3);
    std::printf(
        "[ measured ] three apps, bluetooth target: worst deviation %.2f dB, migration %.1f ms\n",
        worst, migrationSeconds * 1000);
    EXPECT_LE(std::abs(worst), 3.0);
    EXPECT_TRUE(capture->contains("crossfade complete: 3/3 slots migrated to buds"));
    EXPECT_LE(migrationSeconds, 0.5 + 0.06);
    EXPECT_TRUE(engine->keepaliveForTesting().isRunning());
    EXPECT_EQ(engine->catalogGeneration(), 3u + 3u);  // three builds, three hand-overs
}

TEST_F(DeviceChangeTest, SecondaryWarmsUpFor43msAndTheCrossfadeStateIsReleased) {
    audio.addDevice(
        {.uid = "usb", .name = "USB DAC", .transportType = audio::kAudioDeviceTransportTypeUSB});
    launch(400, "com.example.A");
    engine->start();
    advance(1.0);
    capture->clear();
    audio.setDefaultOutput("usb");
    advance(0.5);
    // 0.043 s × 48000 Hz = 2064 frames, counted down in 512-frame cycles.
    EXPECT_TRUE(capture->contains("IOProc slot=0 tick=1 warmup-mute frames=512 remaining=1552"));
    advance(0.5);
    EXPECT_EQ(engine->retiredCrossfadeCountForTesting(),
              0u);  // released after the next health check
}

TEST_F(DeviceChangeTest, NotificationsThatChangeNothingDoNothing) {
    launch(400, "com.example.A");
    engine->start();
    advance(1.0);
    capture->clear();
    engine->notifyDefaultOutputForTesting();  // the device already in use
    advance(0.5);
    EXPECT_TRUE(capture->messages().empty());

    audio.addDevice(
        {.uid = "usb", .name = "USB DAC", .transportType = audio::kAudioDeviceTransportTypeUSB});
    audio.failNext(SimCall::GetPropertyData, audio::kAudioHardwareBadObjectError, 1,
                   audio::kAudioDevicePropertyDeviceUID);
    audio.setDefaultOutput("usb");
    advance(0.05);
    EXPECT_TRUE(capture->contains(
        "default-output changed but no UID available — leaving pipelines intact"));
    EXPECT_EQ(engine->pipelinesForTesting().at(0).aggregate.outputUID, "wired");
}

TEST_F(DeviceChangeTest, WithoutAppsOnlyTheKeepaliveFollows) {
    audio.addDevice({.uid = "buds",
                     .name = "Buds",
                     .transportType = audio::kAudioDeviceTransportTypeBluetoothLE});
    engine->start();
    EXPECT_FALSE(engine->keepaliveForTesting().isRunning());
    audio.setDefaultOutput("buds");
    advance(0.1);
    EXPECT_TRUE(capture->contains("overlap rebuild: no active slots to migrate to buds"));
    EXPECT_TRUE(engine->keepaliveForTesting().isRunning());
}

TEST_F(DeviceChangeTest, AppWhoseNewTapFailsKeepsPlayingOnItsOldPipelineUntilTheAudit) {
    audio.addDevice(
        {.uid = "usb", .name = "USB DAC", .transportType = audio::kAudioDeviceTransportTypeUSB});
    for (int i = 0; i < 3; ++i) launch(400 + i, "com.example.app" + std::to_string(i));
    engine->start();
    advance(1.5);
    audio.failNext(SimCall::CreateProcessTap, audio::kAudioHardwareIllegalOperationError, 2);
    audio.setDefaultOutput("usb");
    advance(0.3);
    EXPECT_EQ(
        capture->count("crossfade: createTap failed for slot=0: CoreAudio error 1852797029 (nope): "
                       "AudioHardwareCreateProcessTap pid="),
        1u);
    EXPECT_TRUE(capture->contains("crossfade complete: 2/3 slots migrated to usb"));
    for (const auto& p : engine->pipelinesForTesting())
        EXPECT_EQ(p.aggregate.outputUID, p.slot == 0 ? "wired" : "usb");
    // Still heard where it was.
    for (const auto& c : audio.cycles("wired", now() - 0.2, now()))
        EXPECT_NEAR(c.rms, 0.3536, 0.01);

    // The next health check finds it on the old device and moves it.
    advance(2.0);
    EXPECT_TRUE(
        capture->contains("refreshTapSource audit: 1 stale slot(s) — batch crossfade to usb"));
    for (const auto& p : engine->pipelinesForTesting()) EXPECT_EQ(p.aggregate.outputUID, "usb");
}

TEST_F(DeviceChangeTest, DefaultMovingAgainDuringAMigrationIsFollowedUp) {
    audio.addDevice(
        {.uid = "usb", .name = "USB DAC", .transportType = audio::kAudioDeviceTransportTypeUSB});
    audio.addDevice(
        {.uid = "hdmi", .name = "Monitor", .transportType = audio::kAudioDeviceTransportTypeHDMI});
    launch(400, "com.example.A");
    engine->start();
    advance(1.0);
    audio.setDefaultOutput("usb");
    // While the engine's queue is busy migrating, the user picks yet another device.
    dispatcher.mainQueue().asyncAfter(0.02, [this] { audio.setDefaultOutput("hdmi"); });
    advance(1.0);
    EXPECT_EQ(capture->count("default moved again during rebuild (now id="), 1u);
    EXPECT_TRUE(capture->contains("crossfade complete: 1/1 slots migrated to hdmi"));
    EXPECT_EQ(engine->pipelinesForTesting().at(0).aggregate.outputUID, "hdmi");
    EXPECT_EQ(audio.aggregates().size(), 1u);
}

TEST_F(DeviceChangeTest, DeadAggregatesLeadToOneFullRebuildUnderNewIdentities) {
    launch(400, "com.example.A");
    launch(401, "com.example.B", true, 660.0);
    engine->start();
    advance(1.0);
    const auto before = entry(400);
    // Adding a device while everything is alive changes nothing.
    audio.addDevice(
        {.uid = "usb", .name = "USB DAC", .transportType = audio::kAudioDeviceTransportTypeUSB});
    advance(0.2);
    EXPECT_EQ(capture->count("devices-list change"), 0u);

    const double t0 = now();
    audio.killAggregate(
        engine->pipelinesForTesting().at(0).aggregate.aggregateID);  // notification 1
    advance(0.02);
    audio.addDevice(
        {.uid = "hdmi", .name = "Monitor", .transportType = audio::kAudioDeviceTransportTypeHDMI});
    advance(0.02);
    audio.addDevice({.uid = "dp",
                     .name = "Display",
                     .transportType = audio::kAudioDeviceTransportTypeDisplayPort});
    advance(0.5);
    EXPECT_EQ(capture->count("devices-list change: 1/2 aggregates dead — full rebuild"), 1u);
    EXPECT_NEAR(timeOf("devices-list change: "), t0 + 0.04 + 0.05, 1e-6);
    const auto after = entry(400);
    ASSERT_TRUE(after.has_value());
    EXPECT_NE(after->generation, before->generation);
    EXPECT_EQ(engine->pipelinesForTesting().size(), 2u);
    EXPECT_EQ(audio.aggregates().size(), 2u);
    EXPECT_NEAR(audio.rms("wired", 0, now() - 0.3, now()), 0.3536 * std::sqrt(2.0), 0.01);
}

TEST_F(DeviceChangeTest, ChangedProcessSetIsRebuiltUnderACrossfade) {
    launch(400, "com.example.Browser");
    engine->start();
    advance(1.0);
    const auto helper =
        audio.addProcess({400, "com.example.Browser.helper", audio::sim::Signal::sine(880, 0.25f)});
    audio.startPlaying(helper);
    advance(0.5);
    EXPECT_TRUE(
        capture->contains("parentPID=400 objectID set changed (was=1 now=2) — crossfade rebuild"));
    EXPECT_TRUE(capture->contains("rebuildSlotWithObjectIDs: ok parentPID=400 slot=0 n=2"));
    EXPECT_EQ(entry(400)->tap->processObjectIDs.size(), 2u);
    EXPECT_EQ(audio.taps().size(), 1u);
}

class HealthTest : public DeviceChangeTest {
  protected:
    audio::AudioObjectID aggregateOf(pid_t pid) {
        for (const auto& p : engine->pipelinesForTesting()) {
            if (p.pid == pid) return p.aggregate.aggregateID;
        }
        return 0;
    }
};

TEST_F(HealthTest, StalledCallbackIsRecoveredAtTheThirdConsecutiveMissThenLeftAloneFor20s) {
    launch(400, "com.example.A");
    engine->start();  // health checks at 2, 4, 6, ... s
    advance(5.5);
    audio.setCallbacksStalled(aggregateOf(400), true);
    advance(4.6);  // t=10.1: checks at 6 and 8 see a render within 3 s; 10 misses
    EXPECT_EQ(capture->count("health monitor: pid=400 slot=0 miss #"), 1u);
    EXPECT_TRUE(
        capture->contains("health monitor: pid=400 slot=0 miss #1 (no IOProc callback within 3s)"));
    advance(4.0);  // t=14.1
    EXPECT_TRUE(
        capture->contains("health monitor: pid=400 slot=0 miss #3 (no IOProc callback within 3s)"));
    EXPECT_TRUE(capture->contains("health monitor: rebuilding parentPID=400 slot=0 n=1"));
    // Sound is back through the new pipeline.
    advance(1.0);
    for (const auto& c : audio.cycles("wired", now() - 0.3, now()))
        EXPECT_NEAR(c.aggregateRms, 0.3536, 0.01);

    // Stalled again at once: nothing is counted during the cool-down.
    audio.setCallbacksStalled(aggregateOf(400), true);
    capture->clear();
    advance(18.0);  // t=33.1
    EXPECT_EQ(capture->count("health monitor: pid=400"), 0u);
    advance(6.0);
    EXPECT_GE(capture->count("health monitor: pid=400 slot=0 miss #"), 1u);
}

TEST_F(HealthTest, MutedOrIntermittentAppsAreNeverRecovered) {
    launch(400, "com.example.Muted");
    launch(401, "com.example.Flaky");
    engine->start();
    advance(5.5);
    volumeState.write(entry(400)->slot, 1.0f, true);
    audio.setCallbacksStalled(aggregateOf(400), true);
    for (int i = 0; i < 4; ++i) {
        audio.setCallbacksStalled(aggregateOf(401), true);
        advance(4.0);  // one miss
        audio.setCallbacksStalled(aggregateOf(401), false);
        advance(2.0);  // a healthy check resets the count
    }
    EXPECT_EQ(capture->count("health monitor: pid=400"), 0u);
    EXPECT_EQ(capture->count("health monitor: pid=401 slot=1 miss #2"), 0u);
    EXPECT_EQ(capture->count("health monitor: rebuilding"), 0u);
}

TEST_F(HealthTest, DeferredTeardownSparesAProcessThatCameBack) {
    launch(400, "com.example.A");
    engine->start();
    advance(1.0);
    exit(400);
    advance(1.0);
    processes.addProcess(400);  // alive again, though not playing
    advance(31.0);
    EXPECT_TRUE(capture->contains("deferred teardown pid=400 — pid alive, skip"));
    EXPECT_TRUE(entry(400).has_value());
}

}  // namespace
}  // namespace tobble::engine
