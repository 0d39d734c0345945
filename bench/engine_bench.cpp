// Engine costs over the simulated system: one reconcile pass with 32 audible apps, a migration of
// 32 pipelines to another device, and the scenario runner's speed against virtual time.
#include <benchmark/benchmark.h>

#include <chrono>

#include "engine/TAKEngine.h"
#include "platform/log/Log.h"
#include "platform/sim/SimEnvironment.h"
#include "tools/tobble-sim/Scenario.h"
#include "tools/tobble-sim/ScenarioRunner.h"

namespace {

using namespace tobble;

struct QuietLogs {
    QuietLogs() : previous(log::setSink(nullptr)) {}
    ~QuietLogs() { log::setSink(previous); }
    std::shared_ptr<log::Sink> previous;
};

struct ThirtyTwoApps {
    sim::SimEnvironment env;
    engine::TAKVolumeState volumes;
    engine::TAKRMSBuffer levels;
    std::shared_ptr<engine::TAKEngine> engine;

    ThirtyTwoApps() {
        env.audio().addDevice({.uid = "speakers", .name = "Speakers", .makeDefault = true});
        env.audio().addDevice(
            {.uid = "usb", .name = "USB", .transportType = audio::kAudioDeviceTransportTypeUSB});
        for (pid_t pid = 1000; pid < 1032; ++pid) {
            env.addApp(pid, "com.example.app" + std::to_string(pid), "app",
                       200.0 + (pid - 1000) * 20.0, 0.02f);
        }
        engine = engine::TAKEngine::make(env.environment(), {&volumes, &levels, nullptr});
        engine->start();
        env.virtualTime().advance(1.0);
    }
    ~ThirtyTwoApps() { engine->stop(); }
};

void BM_ReconcilePass32Apps(benchmark::State& state) {
    QuietLogs quiet;
    ThirtyTwoApps bed;
    if (bed.engine->pipelines().size() != 32) state.SkipWithError("not all 32 apps got a pipeline");
    for (auto _ : state) bed.engine->reconcileNow();
}
BENCHMARK(BM_ReconcilePass32Apps)->Unit(benchmark::kMicrosecond);

// Wall time of moving 32 pipelines to another device, including the simulated device cycles
// that run during the migration's waits (virtual time: about 0.1 s of them).
void BM_Migration32Apps(benchmark::State& state) {
    QuietLogs quiet;
    ThirtyTwoApps bed;
    bool toUSB = true;
    for (auto _ : state) {
        bed.env.audio().setDefaultOutput(toUSB ? "usb" : "speakers");
        bed.env.virtualTime().advance(0.2);
        toUSB = !toUSB;
    }
    state.counters["virtual_s_per_iteration"] = 0.2;
}
BENCHMARK(BM_Migration32Apps)->Unit(benchmark::kMillisecond)->Iterations(5);

// A 60 s scenario with 32 playing apps through the whole program; reports the real-time factor.
void BM_TobbleSim60s32Apps(benchmark::State& state) {
    nlohmann::json scenario;
    scenario["end"] = 60.0;
    auto& events = scenario["events"];
    events.push_back({{"at", 0.0}, {"do", "startEngine"}});
    events.push_back({{"at", 0.0}, {"do", "startViewModel"}});
    events.push_back({{"at", 1.0}, {"do", "openPanel"}});
    for (int i = 0; i < 32; ++i) {
        const int pid = 1000 + i;
        const std::string bundle = "com.example.app" + std::to_string(i);
        scenario["apps"].push_back({{"pid", pid}, {"bundleID", bundle}, {"name", bundle}});
        scenario["processes"].push_back({{"pid", pid}, {"bundleID", bundle}});
        events.push_back({{"at", 0.1},
                          {"do", "play"},
                          {"pid", pid},
                          {"frequency", 200 + 20 * i},
                          {"amplitude", 0.02}});
    }
    const auto parsed = simtool::parseScenario(scenario.dump(), "bench.json");
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(simtool::runScenario(parsed, {}));
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["real_time_factor"] = 60.0 / seconds;
}
BENCHMARK(BM_TobbleSim60s32Apps)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
