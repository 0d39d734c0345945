#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

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

    // A move from `from` to `to` that `move` starts keeps the combined level of both devices
    // within 3 dB of the level before it, over 10 ms windows around it, and completes within
    // `longestSeconds`.
    template <typename Move>
    void expectSmoothMove(const std::string& what, const std::string& from, const std::string& to,
                          double longestSeconds, Move move) {
        const double window = 0.01;
        const double switchAt = now();
        const auto steady = windowEnergy(audio, from, switchAt - 0.5, switchAt, window);
        double steadyEnergy = 0;
        for (double e : steady) steadyEnergy += e;
        steadyEnergy /= static_cast<double>(steady.size());

        capture->clear();
        move();
        advance(1.0);
        const auto a = windowEnergy(audio, from, switchAt - 0.1, switchAt + 0.5, window);
        const auto b = windowEnergy(audio, to, switchAt - 0.1, switchAt + 0.5, window);
        double worst = 0;
        for (size_t w = 0; w < a.size(); ++w) {
            const double db = 10.0 * std::log10((a[w] + b[w]) / steadyEnergy);
            if (std::abs(db) > std::abs(worst)) worst = db;
        }
        const double migrationSeconds = timeOf("crossfade complete: ") - switchAt;
        std::printf("[ measured ] %s: worst deviation %.2f dB, migration %.1f ms\n", what.c_str(),
                    worst, migrationSeconds * 1000);
        EXPECT_LE(std::abs(worst), 3.0);
        EXPECT_GT(migrationSeconds, 0);
        EXPECT_LE(migrationSeconds, longestSeconds);
    }

    void addUSB() { addOutput("usb", audio::kAudioDeviceTransportTypeUSB); }
    std::vector<std::string> outputs() const {
        std::vector<std::string> uids;
        for (const auto& p : engine->pipelinesForTesting()) uids.push_back(p.aggregate.outputUID);
        return uids;
    }
};

struct Migration {
    const char* name;
    uint32_t transport;
    int apps;
    double longestSeconds;  // the fade's length plus a few cycles
};

class MigrationTest : public DeviceChangeTest, public ::testing::WithParamInterface<Migration> {};

TEST_P(MigrationTest, AppsFollowTheNewDefaultWithoutGapOrBurst) {
    const auto& m = GetParam();
    addOutput("target", m.transport);
    for (int i = 0; i < m.apps; ++i)
        launch(400 + i, "com.example.app" + std::to_string(i), true, 440.0 + 110.0 * i);
    engine->start();
    advance(2.0);
    expectSmoothMove(std::to_string(m.apps) + " app(s) to " + m.name, "wired", "target",
                     m.longestSeconds, [&] { audio.setDefaultOutput("target"); });

    // Afterwards every app plays on the new device only, through its one new pipeline.
    EXPECT_EQ(outputs(), std::vector<std::string>(static_cast<size_t>(m.apps), "target"));
    for (const auto& c : audio.cycles("wired", now() - 0.3, now())) EXPECT_NEAR(c.rms, 0.0, 1e-6);
    EXPECT_GT(levelOn("target"), 0.3);
    EXPECT_EQ(audio.aggregates().size(), static_cast<size_t>(m.apps));
    EXPECT_EQ(audio.taps().size(), static_cast<size_t>(m.apps));
}

INSTANTIATE_TEST_SUITE_P(
    Targets, MigrationTest,
    ::testing::Values(Migration{"USB", audio::kAudioDeviceTransportTypeUSB, 1, 0.1 + 0.06},
                      Migration{"Bluetooth", audio::kAudioDeviceTransportTypeBluetooth, 3,
                                0.5 + 0.06}),
    [](const auto& test) { return std::string(test.param.name); });

// An application sent to a device of its own cross-fades there alone; it stays there when the
// default changes, plays on the default while its device is away and returns with it, and is
// built there directly after a restart.
TEST_F(DeviceChangeTest, APinnedAppMovesAloneAndKeepsItsDeviceWhileTheDeviceIsThere) {
    addUSB();
    addOutput("hdmi", audio::kAudioDeviceTransportTypeHDMI);
    launch(400, "com.example.Call");
    engine->start();
    advance(2.0);
    expectSmoothMove("one pinned app to USB", "wired", "usb", 0.1 + 0.06, [&] {
        outputPins.pins["com.example.Call"] = "usb";
        engine->outputPinsChanged();
    });
    EXPECT_EQ(outputs(), std::vector<std::string>{"usb"});

    launch(401, "com.example.Music", true, 660.0);
    advance(1.5);
    EXPECT_EQ(outputs(), (std::vector<std::string>{"usb", "wired"}));
    audio.setDefaultOutput("hdmi");
    advance(1.0);
    EXPECT_EQ(outputs(), (std::vector<std::string>{"usb", "hdmi"}));
    EXPECT_NEAR(levelOn("usb", 0.2), 0.3536, 0.01);
    EXPECT_NEAR(levelOn("wired", 0.2), 0.0, 1e-6);

    const auto music = aggregateOf(401);
    audio.removeDevice("usb");
    advance(0.5);
    EXPECT_EQ(outputs(), (std::vector<std::string>{"hdmi", "hdmi"}));
    EXPECT_NEAR(levelOn("hdmi", 0.2), 0.3536 * std::sqrt(2.0), 0.01);
    EXPECT_EQ(aggregateOf(401), music);  // the other application is left alone
    addUSB();
    advance(0.5);
    EXPECT_EQ(outputs(), (std::vector<std::string>{"usb", "hdmi"}));
    EXPECT_EQ(aggregateOf(401), music);  // the device's return is no full rebuild

    engine->stop();
    capture->clear();
    engine->start();
    advance(1.5);
    EXPECT_EQ(outputs(), (std::vector<std::string>{"usb", "hdmi"}));
    EXPECT_EQ(timeOf("crossfade complete: "), -1);  // built there, not moved there

    outputPins.pins.clear();
    engine->outputPinsChanged();
    advance(0.5);
    EXPECT_EQ(outputs(), (std::vector<std::string>{"hdmi", "hdmi"}));
}

TEST_F(DeviceChangeTest, TheKeepaliveCoversABluetoothDeviceAnAppWasSentTo) {
    const auto buds = addOutput("buds", audio::kAudioDeviceTransportTypeBluetooth);
    launch(400, "com.example.Call");
    engine->start();
    advance(1.0);
    EXPECT_FALSE(engine->keepaliveForTesting().isRunning());
    outputPins.pins["com.example.Call"] = "buds";
    engine->outputPinsChanged();
    advance(1.0);
    EXPECT_TRUE(engine->keepaliveForTesting().isRunning());
    EXPECT_EQ(engine->keepaliveForTesting().deviceID(), buds);
}

TEST_F(DeviceChangeTest, NotificationsThatChangeNothingDoNothing) {
    launch(400, "com.example.A");
    engine->start();
    advance(1.0);
    const auto aggregate = aggregateOf(400);
    engine->notifyDefaultOutputForTesting();  // the device already in use
    advance(0.5);
    EXPECT_EQ(aggregateOf(400), aggregate);

    // A default whose UID cannot be read leaves the pipelines where they are.
    addUSB();
    audio.failNext(SimCall::GetPropertyData, audio::kAudioHardwareBadObjectError, 1,
                   audio::kAudioDevicePropertyDeviceUID);
    audio.setDefaultOutput("usb");
    advance(0.05);
    EXPECT_EQ(aggregateOf(400), aggregate);
}

TEST_F(DeviceChangeTest, WithoutAppsOnlyTheKeepaliveFollows) {
    addOutput("buds", audio::kAudioDeviceTransportTypeBluetoothLE);
    engine->start();
    EXPECT_FALSE(engine->keepaliveForTesting().isRunning());
    audio.setDefaultOutput("buds");
    advance(0.1);
    EXPECT_TRUE(engine->keepaliveForTesting().isRunning());
    EXPECT_TRUE(audio.aggregates().empty());
}

TEST_F(DeviceChangeTest, AppWhoseNewTapFailsKeepsPlayingOnItsOldPipelineUntilTheAudit) {
    addUSB();
    for (int i = 0; i < 3; ++i) launch(400 + i, "com.example.app" + std::to_string(i));
    engine->start();
    advance(1.5);
    audio.failNext(SimCall::CreateProcessTap, audio::kAudioHardwareIllegalOperationError, 2);
    audio.setDefaultOutput("usb");
    advance(0.3);
    EXPECT_EQ(capture->count("crossfade: createTap failed for slot=0: CoreAudio error 1852797029 "
                             "(nope): AudioHardwareCreateProcessTap pid="),
              1u);
    EXPECT_EQ(outputs(), (std::vector<std::string>{"wired", "usb", "usb"}));
    // Still heard where it was.
    for (const auto& c : audio.cycles("wired", now() - 0.2, now()))
        EXPECT_NEAR(c.rms, 0.3536, 0.01);

    // The next health check finds it on the old device and moves it.
    advance(2.0);
    EXPECT_EQ(outputs(), (std::vector<std::string>{"usb", "usb", "usb"}));
}

TEST_F(DeviceChangeTest, DefaultMovingAgainDuringAMigrationIsFollowedUp) {
    addUSB();
    addOutput("hdmi", audio::kAudioDeviceTransportTypeHDMI);
    launch(400, "com.example.A");
    engine->start();
    advance(1.0);
    audio.setDefaultOutput("usb");
    // While the engine's queue is busy migrating, the user picks yet another device.
    dispatcher.mainQueue().asyncAfter(0.02, [this] { audio.setDefaultOutput("hdmi"); });
    advance(1.0);
    EXPECT_EQ(outputs(), std::vector<std::string>{"hdmi"});
    EXPECT_EQ(audio.aggregates().size(), 1u);
}

TEST_F(DeviceChangeTest, DeadAggregatesLeadToOneFullRebuildUnderNewIdentities) {
    launch(400, "com.example.A");
    launch(401, "com.example.B", true, 660.0);
    engine->start();
    advance(1.0);
    const auto before = entry(400);
    const auto aggregate = aggregateOf(401);
    // Adding a device while everything is alive changes nothing.
    addUSB();
    advance(0.2);
    EXPECT_EQ(aggregateOf(401), aggregate);

    const double t0 = now();
    audio.killAggregate(aggregateOf(400));  // notification 1
    advance(0.02);
    addOutput("hdmi", audio::kAudioDeviceTransportTypeHDMI);
    advance(0.02);
    addOutput("dp", audio::kAudioDeviceTransportTypeDisplayPort);
    advance(0.5);
    // One rebuild, 50 ms after the last of the three notifications.
    EXPECT_EQ(capture->count("devices-list change: 1/2 aggregates dead — full rebuild"), 1u);
    EXPECT_NEAR(timeOf("devices-list change: "), t0 + 0.04 + 0.05, 1e-6);
    const auto after = entry(400);
    ASSERT_TRUE(after.has_value());
    EXPECT_NE(after->generation, before->generation);
    EXPECT_NE(aggregateOf(401), aggregate);
    EXPECT_EQ(audio.aggregates().size(), 2u);
    EXPECT_NEAR(levelOn("wired"), 0.3536 * std::sqrt(2.0), 0.01);
}

TEST_F(DeviceChangeTest, ChangedProcessSetIsRebuiltUnderACrossfade) {
    launch(400, "com.example.Browser");
    engine->start();
    advance(1.0);
    const auto helper =
        audio.addProcess({400, "com.example.Browser.helper", audio::sim::Signal::sine(880, 0.25f)});
    audio.startPlaying(helper);
    advance(0.5);
    EXPECT_EQ(entry(400)->tap->processObjectIDs.size(), 2u);
    EXPECT_EQ(audio.taps().size(), 1u);
    EXPECT_EQ(audio.aggregates().size(), 1u);
}

using HealthTest = DeviceChangeTest;

TEST_F(HealthTest, StalledCallbackIsRecoveredAtTheThirdConsecutiveMissThenLeftAloneFor20s) {
    launch(400, "com.example.A");
    engine->start();  // health checks at 2, 4, 6, ... s
    advance(5.5);
    const auto stalled = aggregateOf(400);
    audio.setCallbacksStalled(stalled, true);
    advance(6.6);  // t=12.1: checks at 6 and 8 see a render within 3 s; 10 and 12 miss
    EXPECT_EQ(aggregateOf(400), stalled);
    advance(2.0);  // t=14.1: the third miss rebuilds
    const auto rebuilt = aggregateOf(400);
    EXPECT_NE(rebuilt, stalled);
    // Sound is back through the new pipeline.
    advance(1.0);
    for (const auto& c : audio.cycles("wired", now() - 0.3, now()))
        EXPECT_NEAR(c.aggregateRms, 0.3536, 0.01);

    // Stalled again at once: nothing is counted during the cool-down, then it is recovered.
    audio.setCallbacksStalled(rebuilt, true);
    advance(18.0);  // t=33.1
    EXPECT_EQ(aggregateOf(400), rebuilt);
    advance(10.0);
    EXPECT_NE(aggregateOf(400), rebuilt);
}

TEST_F(HealthTest, MutedOrIntermittentAppsAreNeverRecovered) {
    launch(400, "com.example.Muted");
    launch(401, "com.example.Flaky");
    engine->start();
    advance(5.5);
    const auto muted = aggregateOf(400);
    const auto flaky = aggregateOf(401);
    volumeState.write(entry(400)->slot, 1.0f, true);
    audio.setCallbacksStalled(muted, true);
    for (int i = 0; i < 4; ++i) {
        audio.setCallbacksStalled(flaky, true);
        advance(4.0);  // one miss
        audio.setCallbacksStalled(flaky, false);
        advance(2.0);  // a healthy check resets the count
    }
    EXPECT_EQ(aggregateOf(400), muted);
    EXPECT_EQ(aggregateOf(401), flaky);
}

TEST_F(HealthTest, DeferredTeardownSparesAProcessThatCameBack) {
    launch(400, "com.example.A");
    engine->start();
    advance(1.0);
    exit(400);
    advance(1.0);
    processes.addProcess(400);  // alive again, though not playing
    advance(31.0);
    EXPECT_TRUE(entry(400).has_value());
}

}  // namespace
}  // namespace tobble::engine
