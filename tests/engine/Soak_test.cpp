#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "engine/TAKTobbleClientBridge.h"
#include "tests/engine/EngineTestBed.h"

namespace tobble::engine {
namespace {

using audio::sim::SimCall;
using tobble::testing::EngineTestBed;

// A long run against a misbehaving audio system. Each round is ten seconds of random events
// (apps come and go, devices appear, vanish and switch, calls that make or remove things fail,
// aggregates die, callbacks stall, volumes change) followed by ten calm seconds, after which
// every playing app must be heard through its pipeline at its own volume and mute, and nothing
// the engine made may be left over on the system. The engine's invariants are checked after
// every event; under AddressSanitizer the run also shows that no callback reaches freed memory.
// Seeds come from TOBBLE_SOAK_SEEDS ("1,2,3") and the length from TOBBLE_SOAK_ROUNDS.
class SoakTest : public ::testing::TestWithParam<unsigned> {};

struct App {
    pid_t pid = 0;
    std::string bundleID;
    audio::AudioObjectID mainObject = 0;
    std::vector<audio::AudioObjectID> helpers;
    float amplitude = 0.3f;
    float volume = 1.0f;
    bool muted = false;
    bool playing = false;
};

class Soak : public EngineTestBed {
  public:
    explicit Soak(unsigned seed) : rng_(seed) {
        capture.sink().clear();
        audio.setSampleHistorySeconds(0);  // an hour of samples would not fit; cycle records do
    }

    void run(int rounds) {
        addDevice();
        engine->start();
        for (int round = 0; round < rounds; ++round) {
            for (int step = 0; step < 40; ++step) {
                randomEvent();
                advance(0.25);
                checkInvariants();
                if (::testing::Test::HasFatalFailure()) return;
            }
            calmDown();
            advance(10.0);
            checkInvariants();
            checkEveryPlayingAppIsHeard(round);
            checkNothingIsLeftOver(round);
            if (::testing::Test::HasFailure()) return;
        }
        // What the run went through, by the lines that mark each event.
        std::printf("[ soak ] %d rounds, %zu audible checks", rounds, audibleChecks_);
        for (const char* event :
             {"pipeline built", "pipeline build failed", "crossfade complete",
              "devices-list change", "rebuildSlotWithObjectIDs: ok", "health monitor: rebuilding",
              "deferred teardown pid=", "tap destroy failed", "aggregate destroy failed",
              "AudioDeviceStop status", "AudioDeviceDestroyIOProcID status"})
            std::printf(", %zu \"%s\"", capture->count(event), event);
        std::printf("\n");
        engine->stop();
        EXPECT_TRUE(audio.taps().empty());
        EXPECT_EQ(aliveAggregates(), 0u);
        EXPECT_EQ(audio.runningIOProcCount(), 0u);
    }

  private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }

    void addDevice() {
        static const uint32_t transports[] = {
            audio::kAudioDeviceTransportTypeBuiltIn, audio::kAudioDeviceTransportTypeUSB,
            audio::kAudioDeviceTransportTypeBluetooth, audio::kAudioDeviceTransportTypeHDMI};
        const std::string uid = "dev" + std::to_string(nextDevice_++);
        // A low rate keeps an hour of cycles cheap; the engine scales warm-ups and fades by it.
        audio.addDevice({.uid = uid,
                         .name = uid,
                         .transportType = transports[pick(4)],
                         .sampleRate = 8000.0,
                         .bufferFrames = 256,
                         .makeDefault = devices_.empty() || chance(0.5)});
        devices_.push_back(uid);
    }

    App* randomApp() {
        if (apps_.empty()) return nullptr;
        auto it = apps_.begin();
        std::advance(it, pick(static_cast<int>(apps_.size())));
        return &it->second;
    }

    void launchApp() {
        App app;
        app.pid = nextPid_++;
        app.bundleID = "com.example.soak" + std::to_string(app.pid);
        app.amplitude = 0.1f + 0.05f * static_cast<float>(pick(7));
        apps.launch({.pid = app.pid, .bundleID = app.bundleID, .name = app.bundleID});
        app.mainObject = audio.addProcess(
            {app.pid, app.bundleID,
             audio::sim::Signal::sine(200.0 + app.pid % 50 * 20.0, app.amplitude)});
        apps_[app.pid] = app;
    }

    void randomEvent() {
        const int roll = pick(100);
        App* app = randomApp();
        if (roll < 12 || !app) {
            if (apps_.size() < 12) launchApp();
        } else if (roll < 30) {
            audio.startPlaying(app->mainObject);
            app->playing = true;
        } else if (roll < 36) {
            audio.stopPlaying(app->mainObject);
            app->playing = false;
        } else if (roll < 42) {
            // A helper joins (running, silent): the app's process set changes.
            const auto helper = audio.addProcess(
                {app->pid + 10000, app->bundleID + ".helper", audio::sim::Signal::silence()});
            responsibility.set(app->pid + 10000, app->pid);
            audio.setRunning(helper, true, true);
            app->helpers.push_back(helper);
        } else if (roll < 47) {
            exitApp(*app);
        } else if (roll < 55) {
            if (devices_.size() < 4) addDevice();
        } else if (roll < 59) {
            if (devices_.size() > 1) {
                const int i = pick(static_cast<int>(devices_.size()));
                audio.removeDevice(devices_[static_cast<size_t>(i)]);
                devices_.erase(devices_.begin() + i);
            }
        } else if (roll < 67) {
            audio.setDefaultOutput(
                devices_[static_cast<size_t>(pick(static_cast<int>(devices_.size())))]);
        } else if (roll < 75) {
            static const SimCall calls[] = {
                SimCall::CreateProcessTap,  SimCall::CreateAggregateDevice,
                SimCall::CreateIOProcID,    SimCall::DeviceStart,
                SimCall::DestroyProcessTap, SimCall::DestroyAggregateDevice,
                SimCall::DestroyIOProcID,   SimCall::DeviceStop};
            audio.failNext(calls[pick(8)], audio::kAudioHardwareIllegalOperationError, 1 + pick(2));
        } else if (roll < 79) {
            const auto all = audio.aggregates();
            if (!all.empty())
                audio.killAggregate(
                    all[static_cast<size_t>(pick(static_cast<int>(all.size())))].id);
        } else if (roll < 85) {
            for (const auto& p : engine->pipelines()) {
                if (p.pid == app->pid) {
                    audio.setCallbacksStalled(p.aggregate.aggregateID, true);
                    stalled_.insert(p.aggregate.aggregateID);
                }
            }
        } else {
            setVolume(*app, 0.2f + 0.1f * static_cast<float>(pick(9)), chance(0.15));
        }
    }

    void setVolume(App& app, float volume, bool muted) {
        auto bridge = TAKTobbleClientBridge::forEngine(*engine);
        if (!bridge) return;
        for (const auto& client : bridge->readClientList()) {
            if (client.bundleID != app.bundleID) continue;
            if (bridge->setClientVolume(client.slot, client.generation, volume, muted)) {
                app.volume = volume;
                app.muted = muted;
            }
        }
    }

    void exitApp(App& app) {
        exit(app.pid);
        for (auto helper : app.helpers) audio.removeProcessObject(helper);
        apps_.erase(app.pid);
    }

    void calmDown() {
        audio.clearFaults();
        for (auto id : stalled_) audio.setCallbacksStalled(id, false);
        stalled_.clear();
    }

    void checkInvariants() {
        auto catalog = engine->catalog();
        ASSERT_TRUE(catalog);
        const auto entries = catalog->allEntries();
        std::set<uint32_t> slots;
        for (const auto& e : entries) {
            ASSERT_TRUE(slots.insert(e.slot).second) << "two entries in slot " << e.slot;
            // A (slot, generation) pair names one tenant for ever.
            const auto key = std::make_pair(e.slot, e.generation);
            auto [it, inserted] = identities_.emplace(key, e.pid);
            ASSERT_EQ(it->second, e.pid)
                << "slot " << e.slot << " generation " << e.generation << " reused";
        }
        std::set<uint32_t> pipelineSlots;
        for (const auto& p : engine->pipelines()) {
            ASSERT_TRUE(pipelineSlots.insert(p.slot).second) << "two pipelines in slot " << p.slot;
            const auto e = catalog->entry(p.pid);
            ASSERT_TRUE(e.has_value()) << "pipeline for pid " << p.pid << " without an entry";
            ASSERT_EQ(e->slot, p.slot);
            ASSERT_EQ(e->state, TAKTapEntry::State::active);
            ASSERT_TRUE(e->tap.has_value());
            ASSERT_EQ(e->tap->uid, p.tapUID);
        }
    }

    void checkEveryPlayingAppIsHeard(int round) {
        auto catalog = engine->catalog();
        for (const auto& [pid, app] : apps_) {
            if (!app.playing) continue;
            const auto e = catalog->entry(pid);
            ASSERT_TRUE(e.has_value() && e->state == TAKTapEntry::State::active)
                << "round " << round << ": playing app " << pid << " has no active entry";
            ASSERT_TRUE(hasPipeline(pid))
                << "round " << round << ": playing app " << pid << " has no pipeline";
            ++audibleChecks_;
            const float expected = app.muted ? 0.0f : app.amplitude * app.volume;
            EXPECT_NEAR(rmsBuffer.level(e->slot), expected, 0.02f + 0.05f * expected)
                << "round " << round << ": app " << pid << " heard at the wrong level";
        }
        // Nothing of a tapped app reaches a device directly.
        const auto defaultUID = audio.defaultOutputUID();
        ASSERT_TRUE(defaultUID.has_value());
        for (const auto& c : audio.cycles(*defaultUID, now() - 1.0, now())) {
            ASSERT_NEAR(c.directRms, 0.0f, 1e-6f)
                << "round " << round << ": untapped sound on " << *defaultUID;
        }
    }

    // After a calm phase every failed removal has been retried: the system holds exactly what
    // the engine's pipelines and taps account for, and no other device plays anything of ours.
    void checkNothingIsLeftOver(int round) {
        EXPECT_EQ(engine->pendingTeardownCountForTesting(), 0u) << "round " << round;
        size_t tapped = 0;
        for (const auto& e : engine->catalog()->activeEntries()) tapped += e.tap ? 1 : 0;
        EXPECT_EQ(audio.taps().size(), tapped) << "round " << round << ": taps left over";
        const size_t pipelines = engine->pipelines().size();
        EXPECT_EQ(aliveAggregates(), pipelines) << "round " << round << ": aggregates left over";
        const size_t keepalive = engine->keepaliveForTesting().isRunning() ? 1 : 0;
        EXPECT_EQ(audio.ioProcCount(), pipelines + keepalive)
            << "round " << round << ": callbacks left over";
        const auto defaultUID = audio.defaultOutputUID();
        for (const auto& uid : devices_) {
            if (uid == defaultUID) continue;
            for (const auto& c : audio.cycles(uid, now() - 1.0, now()))
                ASSERT_NEAR(c.aggregateRms, 0.0f, 1e-6f)
                    << "round " << round << ": heard on " << uid;
        }
    }

    std::mt19937 rng_;
    std::map<pid_t, App> apps_;
    std::vector<std::string> devices_;
    std::set<audio::AudioObjectID> stalled_;
    std::map<std::pair<uint32_t, uint32_t>, pid_t> identities_;
    int nextDevice_ = 0;
    size_t audibleChecks_ = 0;
    pid_t nextPid_ = 2000;
};

TEST_P(SoakTest, AnHourOfFaultsKeepsEveryInvariantAndEveryAppAudible) {
    const unsigned seed = GetParam();
    const char* roundsText = std::getenv("TOBBLE_SOAK_ROUNDS");
    const int rounds = roundsText ? std::atoi(roundsText) : 180;  // 180 × 20 s = one hour
    Soak soak(seed);
    soak.run(rounds);
    if (HasFailure())
        std::printf("soak failed with seed %u (rerun: TOBBLE_SOAK_SEEDS=%u)\n", seed, seed);
}

std::vector<unsigned> soakSeeds() {
    std::vector<unsigned> seeds;
    const char* text = std::getenv("TOBBLE_SOAK_SEEDS");
    std::istringstream list(text ? text : "");
    for (std::string seed; std::getline(list, seed, ',');)
        seeds.push_back(static_cast<unsigned>(std::strtoul(seed.c_str(), nullptr, 10)));
    if (seeds.empty()) seeds = {1, 2, 3};
    return seeds;
}

INSTANTIATE_TEST_SUITE_P(Seeds, SoakTest, ::testing::ValuesIn(soakSeeds()));

}  // namespace
}  // namespace tobble::engine
