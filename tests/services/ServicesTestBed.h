#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/TAKEngine.h"
#include "platform/log/CaptureSink.h"
#include "platform/sim/SimEnvironment.h"
#include "services/AudioClientViewModel.h"
#include "services/OutputPinStore.h"
#include "services/SavedVolumesAdapter.h"
#include "services/TobbleAudioService.h"
#include "services/VolumeStore.h"

namespace tobble::app::testing {

// The application services over a real engine on the simulated desktop, in virtual time: the
// wiring of the app, with every part reachable by the test under the name the app gives it.
struct ServicesTestBed {
    static constexpr float kSineRms = 0.35355f;  // RMS of the 0.5 sine every test app plays

    sim::SimEnvironment sim{sim::SimEnvironmentOptions{.ownPid = 100}};
    dispatch::VirtualDispatcher& dispatcher = sim.virtualTime();
    audio::sim::SimAudioSystem& audio = sim.audio();
    system::sim::SimRunningApplications& apps = sim.apps();
    system::InMemoryUserDefaults& defaults = sim.defaults();
    Environment& environment = sim.environment();
    engine::TAKVolumeState volumeState;
    engine::TAKRMSBuffer rmsBuffer;
    VolumeStore volumeStore{defaults};
    SavedVolumesAdapter savedVolumes{volumeStore};
    OutputPinStore outputPins{defaults};
    mutable log::ScopedCapture capture;
    std::shared_ptr<engine::TAKEngine> engine = engine::TAKEngine::make(
        environment, {&volumeState, &rmsBuffer, &savedVolumes, &outputPins});
    std::shared_ptr<TobbleAudioService> service = TobbleAudioService::make(environment, *engine);
    std::shared_ptr<AudioClientViewModel> viewModel =
        AudioClientViewModel::make(environment, *engine, *service, volumeStore, &outputPins);

    ~ServicesTestBed() {
        viewModel->stop();
        viewModel.reset();
        service.reset();
        engine->stop();
    }

    audio::AudioObjectID addSpeakers(std::string uid = "speakers") {
        return audio.addDevice({.uid = uid, .name = uid, .makeDefault = true});
    }

    // Launches an application with one process object playing a 0.5 sine.
    audio::AudioObjectID launch(
        pid_t pid, std::optional<std::string> bundleID, std::string name = {},
        system::ActivationPolicy policy = system::ActivationPolicy::Regular) {
        apps.launch({.pid = pid,
                     .bundleID = bundleID,
                     .name = name.empty() ? bundleID.value_or("app") : name,
                     .activationPolicy = policy});
        return play(pid, std::move(bundleID));
    }

    // A process that plays without being a running application of the workspace.
    audio::AudioObjectID play(pid_t pid, std::optional<std::string> bundleID) {
        const auto object =
            audio.addProcess({pid, std::move(bundleID), audio::sim::Signal::sine(440.0, 0.5f)});
        audio.startPlaying(object);
        return object;
    }

    void quit(pid_t pid) { sim.quitApp(pid); }
    // RMS of `uid`'s left channel over the last `seconds`.
    double levelOn(const std::string& uid, double seconds = 0.3) const {
        return audio.rms(uid, 0, now() - seconds, now());
    }
    void advance(double seconds) { dispatcher.advance(seconds); }
    double now() const { return dispatcher.now(); }

    // The row of `bundleID`, or null.
    const AudioClientViewModel::AppClient* row(std::string_view bundleID) const {
        for (const auto& r : viewModel->clients()) {
            if (r.bundleID == bundleID) return &r;
        }
        return nullptr;
    }

    std::optional<VolumeStore::SavedState> saved(const std::string& bundleID) const {
        const auto all = volumeStore.loadAll();
        auto it = all.find(bundleID);
        if (it == all.end()) return std::nullopt;
        return it->second;
    }
};

}  // namespace tobble::app::testing
