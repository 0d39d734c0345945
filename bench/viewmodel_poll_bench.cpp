// Cost of the view model's two polls over a real engine with eight tapped applications:
//  - the idle client poll, which runs every 500 ms while routing is on and finds the engine's
//    catalog unchanged (the usual case);
//  - one level poll, which runs every 33 ms while the panel is open: read the levels through a
//    client bridge, hand them to the main queue, update the rows and tell the observers.
// Both run on a simulated desktop in virtual time with the clock held still, so no device
// cycle runs inside the measurement.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "engine/TAKEngine.h"
#include "platform/log/Log.h"
#include "platform/sim/SimEnvironment.h"
#include "services/AudioClientViewModel.h"
#include "services/SavedVolumesAdapter.h"
#include "services/TobbleAudioService.h"
#include "services/VolumeStore.h"

namespace {

using namespace tobble;

constexpr int kApplications = 8;

class DiscardSink final : public log::Sink {
  public:
    void write(const log::Record&) override {}
};

struct Desktop {
    sim::SimEnvironment sim{sim::SimEnvironmentOptions{.ownPid = 100}};
    dispatch::VirtualDispatcher& dispatcher = sim.virtualTime();
    engine::TAKVolumeState volumeState;
    engine::TAKRMSBuffer rmsBuffer;
    app::VolumeStore volumeStore{sim.defaults()};
    app::SavedVolumesAdapter savedVolumes{volumeStore};
    std::shared_ptr<engine::TAKEngine> engine;
    std::shared_ptr<app::TobbleAudioService> service;
    std::shared_ptr<app::AudioClientViewModel> viewModel;
    app::AudioClientViewModel::Observation observation;
    int levelUpdates = 0;

    Desktop() {
        sim.audio().addDevice({.uid = "speakers", .name = "Speakers", .makeDefault = true});
        for (int i = 0; i < kApplications; ++i) {
            sim.addApp(300 + i, "com.example.app" + std::to_string(i), "App " + std::to_string(i),
                       440.0);
        }
        Environment& environment = sim.environment();
        engine = engine::TAKEngine::make(environment, {&volumeState, &rmsBuffer, &savedVolumes});
        engine->start();
        service = app::TobbleAudioService::make(environment, *engine);
        viewModel = app::AudioClientViewModel::make(environment, *engine, *service, volumeStore);
        viewModel->start();
        observation =
            viewModel->observe({.levelsChanged = [this](const auto&) { ++levelUpdates; }});
        viewModel->startRMSPolling();
        dispatcher.advance(1.0);  // first polls done, pipelines warm
    }
    ~Desktop() {
        viewModel->stop();
        engine->stop();
    }
};

void BM_IdleClientPoll(benchmark::State& state) {
    Desktop desktop;
    for (auto _ : state) desktop.viewModel->runClientPollForTesting();
    if (desktop.viewModel->clients().size() != kApplications) state.SkipWithError("rows missing");
}
BENCHMARK(BM_IdleClientPoll);

void BM_LevelPoll(benchmark::State& state) {
    Desktop desktop;
    float level = 0.1f;
    for (auto _ : state) {
        // New levels every time, as while sound plays, so the rows and observers do their work.
        level = level > 0.9f ? 0.1f : level + 0.01f;
        for (uint32_t slot = 0; slot < kApplications; ++slot)
            desktop.rmsBuffer.rms[slot].store(level);
        desktop.viewModel->runLevelPollForTesting();
        desktop.dispatcher.runDue();
    }
    if (desktop.levelUpdates < static_cast<int>(state.iterations()))
        state.SkipWithError("levels not delivered");
}
BENCHMARK(BM_LevelPoll);

}  // namespace

int main(int argc, char** argv) {
    tobble::log::setSink(std::make_shared<DiscardSink>());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
