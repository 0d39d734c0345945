#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/TAKEngine.h"
#include "platform/audio/sim/SimAudioSystem.h"
#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/log/CaptureSink.h"
#include "platform/system/InMemoryUserDefaults.h"
#include "platform/system/sim/SimRunningApplications.h"
#include "services/AudioClientViewModel.h"
#include "services/DefaultsKeys.h"
#include "services/SavedVolumesAdapter.h"
#include "services/TobbleAudioService.h"
#include "services/VolumeStore.h"

namespace tobble::app::testing {

// A defaults domain that counts how often each key is written.
class CountingDefaults final : public system::UserDefaults {
  public:
    std::optional<system::DefaultsValue> object(std::string_view key) const override {
        return inner.object(key);
    }
    void set(std::string_view key, system::DefaultsValue value) override {
        ++writes[std::string(key)];
        inner.set(key, std::move(value));
    }
    void remove(std::string_view key) override { inner.remove(key); }
    void registerDefaults(const std::map<std::string, system::DefaultsValue>& defaults) override {
        inner.registerDefaults(defaults);
    }
    int writesOf(std::string_view key) const {
        auto it = writes.find(std::string(key));
        return it == writes.end() ? 0 : it->second;
    }

    system::InMemoryUserDefaults inner;
    std::map<std::string, int> writes;
};

// The engine's view of the volume store, counting the saves the engine and the bridge make.
class CountingSavedVolumes final : public engine::TAKSavedVolumes {
  public:
    explicit CountingSavedVolumes(VolumeStore& store) : adapter(store) {}
    std::optional<Saved> savedVolume(const std::string& bundleID) override {
        return adapter.savedVolume(bundleID);
    }
    void save(const std::string& bundleID, float volume, bool isMuted) override {
        ++saves;
        adapter.save(bundleID, volume, isMuted);
    }
    SavedVolumesAdapter adapter;
    int saves = 0;
};

// The application services over a real engine on a simulated desktop, in virtual time: the
// wiring of the app, with every part reachable by the test.
struct ServicesTestBed {
    static constexpr pid_t kOwnPid = 100;
    static constexpr float kSineRms = 0.35355f;  // RMS of the 0.5 sine every test app plays

    dispatch::VirtualDispatcher dispatcher;
    audio::sim::SimAudioSystem audio{dispatcher};
    system::sim::SimRunningApplications apps;
    system::sim::SimProcessTable processes{audio, apps, kOwnPid};
    CountingDefaults defaults;
    system::sim::SimResponsibility responsibility;
    engine::TAKVolumeState volumeState;
    engine::TAKRMSBuffer rmsBuffer;
    VolumeStore volumeStore{defaults};
    CountingSavedVolumes savedVolumes{volumeStore};
    mutable log::ScopedCapture capture;
    Environment environment{dispatcher, audio, processes, apps, defaults, responsibility.lookup()};
    std::shared_ptr<engine::TAKEngine> engine =
        engine::TAKEngine::make(environment, {&volumeState, &rmsBuffer, &savedVolumes});
    std::shared_ptr<TobbleAudioService> service = TobbleAudioService::make(environment, *engine);
    std::shared_ptr<AudioClientViewModel> viewModel =
        AudioClientViewModel::make(environment, *engine, *service, volumeStore);

    ServicesTestBed() {
        log::setTimeSource(
            [](const void* d) { return static_cast<const dispatch::VirtualDispatcher*>(d)->now(); },
            &dispatcher);
    }
    ~ServicesTestBed() {
        viewModel->stop();
        viewModel.reset();
        service.reset();
        engine->stop();
        log::setTimeSource(nullptr, nullptr);
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

    void quit(pid_t pid) {
        audio.exitProcess(pid);
        apps.terminate(pid);
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

    int savedDocumentWrites() const { return defaults.writesOf(kPerAppVolumesKey); }
};

}  // namespace tobble::app::testing
