#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/TAKEngine.h"
#include "engine/TAKOutputPins.h"
#include "engine/TAKSavedVolumes.h"
#include "platform/log/CaptureSink.h"
#include "platform/sim/SimEnvironment.h"

namespace tobble::testing {

// Saved volumes in memory, so engine tests can see what the bridge saves.
class MemorySavedVolumes final : public engine::TAKSavedVolumes {
  public:
    std::optional<Saved> savedVolume(const std::string& bundleID) override {
        auto it = saved.find(bundleID);
        if (it == saved.end()) return std::nullopt;
        return it->second;
    }
    void save(const std::string& bundleID, float volume, bool isMuted) override {
        saved[bundleID] = Saved{volume, isMuted};
    }
    std::map<std::string, Saved> saved;
};

// The devices the user sent applications to, in memory.
class MemoryOutputPins final : public engine::TAKOutputPins {
  public:
    std::optional<std::string> pinnedOutput(const std::string& bundleID) override {
        auto it = pins.find(bundleID);
        if (it == pins.end()) return std::nullopt;
        return it->second;
    }
    std::map<std::string, std::string> pins;
};

// An engine over the simulated desktop in virtual time, with its own real-time tables.
struct EngineTestBed {
    static constexpr pid_t kOwnPid = 100;

    sim::SimEnvironment desktop{sim::SimEnvironmentOptions{.ownPid = kOwnPid}};
    dispatch::VirtualDispatcher& dispatcher = desktop.virtualTime();
    audio::sim::SimAudioSystem& audio = desktop.audio();
    system::sim::SimRunningApplications& apps = desktop.apps();
    system::sim::SimProcessTable& processes = desktop.processes();
    system::sim::SimResponsibility& responsibility = desktop.responsibility();
    engine::TAKVolumeState volumeState;
    engine::TAKRMSBuffer rmsBuffer;
    MemorySavedVolumes savedVolumes;
    MemoryOutputPins outputPins;
    mutable log::ScopedCapture capture;
    std::shared_ptr<engine::TAKEngine> engine = engine::TAKEngine::make(
        desktop.environment(), {&volumeState, &rmsBuffer, &savedVolumes, &outputPins});

    EngineTestBed() {
        // Log lines carry virtual time, so tests can check when something happened.
        log::setTimeSource(
            [](const void* d) { return static_cast<const dispatch::VirtualDispatcher*>(d)->now(); },
            &dispatcher);
    }
    ~EngineTestBed() {
        engine->stop();
        log::setTimeSource(nullptr, nullptr);
    }

    // Virtual time of the first log line starting with `prefix`, or -1.
    double timeOf(std::string_view prefix) const {
        for (const auto& line : capture.sink().lines()) {
            if (std::string_view(line.message).starts_with(prefix)) return line.time;
        }
        return -1;
    }

    audio::AudioObjectID addSpeakers(std::string uid = "speakers",
                                     uint32_t transport = audio::kAudioDeviceTransportTypeBuiltIn,
                                     bool makeDefault = true) {
        return audio.addDevice(
            {.uid = uid, .name = uid, .transportType = transport, .makeDefault = makeDefault});
    }
    // A further output that does not become the default.
    audio::AudioObjectID addOutput(std::string uid, uint32_t transport) {
        return addSpeakers(std::move(uid), transport, false);
    }

    // Launches an application with one process object, playing a 0.5 sine when `playing`.
    audio::AudioObjectID launch(pid_t pid, std::string bundleID, bool playing = true,
                                double frequency = 440.0) {
        const auto object = desktop.addApp(pid, bundleID, bundleID, frequency);
        if (!playing) audio.stopPlaying(object);
        return object;
    }

    void exit(pid_t pid) { desktop.quitApp(pid); }

    std::optional<engine::TAKTapEntry> entry(pid_t pid) const {
        auto catalog = engine->catalog();
        return catalog ? catalog->entry(pid) : std::nullopt;
    }

    // Speakers, a started engine and 32 playing applications (pids 1000 to 1031), one in every
    // slot; returns their process objects.
    std::vector<audio::AudioObjectID> fillEverySlot() {
        addSpeakers();
        engine->start();
        std::vector<audio::AudioObjectID> objects;
        for (pid_t pid = 1000; pid < 1032; ++pid)
            objects.push_back(launch(pid, "com.example.app" + std::to_string(pid)));
        advance(2.0);
        return objects;
    }

    bool hasPipeline(pid_t pid) const {
        for (const auto& p : engine->pipelinesForTesting()) {
            if (p.pid == pid) return true;
        }
        return false;
    }

    audio::AudioObjectID aggregateOf(pid_t pid) const {
        for (const auto& p : engine->pipelinesForTesting()) {
            if (p.pid == pid) return p.aggregate.aggregateID;
        }
        return 0;
    }

    // Aggregates on the system that still work (a killed one stays listed until destroyed).
    size_t aliveAggregates() const {
        size_t alive = 0;
        for (const auto& a : audio.aggregates()) alive += a.alive ? 1 : 0;
        return alive;
    }

    // RMS of `uid`'s left channel over the last `seconds`.
    double levelOn(const std::string& uid, double seconds = 0.3) const {
        return audio.rms(uid, 0, now() - seconds, now());
    }

    void advance(double seconds) { dispatcher.advance(seconds); }
    double now() const { return dispatcher.now(); }
};

}  // namespace tobble::testing
