// Noticing and repairing pipelines that fail quietly: callbacks that stopped, pipelines left on
// an old device, applications whose process list changed under them.
#include "engine/TAKEngine.h"
#include "engine/TAKEngineConstants.h"
#include "engine/core/TAKCoreAudio.h"
#include "engine/core/TAKLog.h"

namespace tobble::engine {

using namespace audio;

void TAKEngine::installHealthMonitor() {
    if (_healthMonitorTimer) return;
    _healthMonitorTimer = env.dispatcher.makeRepeatingTimer(
        reconcileQueue, constants::kHealthPeriodSeconds, constants::kHealthPeriodSeconds,
        weakly([](TAKEngine& e) { e.runHealthCheck(); }));
}

void TAKEngine::runHealthCheck() {
    auto currentCatalog = catalog();
    if (!currentCatalog || !_tapManager || !_pipelines || isSwitching) return;
    releaseRetiredCrossfadeStates(false);
    const auto active = currentCatalog->activeEntries();
    if (active.empty()) return;
    if (refreshTapSourcesIfStale()) return;

    auto& clock = env.dispatcher.clock();
    const double now = clock.absoluteTime();
    std::erase_if(_tapRecoveryCooldownUntil,
                  [now](const auto& item) { return item.second <= now; });

    std::set<pid_t> playing;
    try {
        for (const auto& process : TAKProcessRegistry(env.audio).listOutputAudible())
            playing.insert(process.pid);
    } catch (const TAKError& error) {
        TAKLog::log().error("health monitor: registry read failed: " + error.description());
        return;
    }

    for (const auto& entry : active) {
        const pid_t pid = entry.pid;
        if (_volumeState.muted(entry.slot)) {
            _tapConsecutiveMisses[pid] = 0;
            continue;
        }
        if (auto it = _tapRecoveryCooldownUntil.find(pid);
            it != _tapRecoveryCooldownUntil.end() && it->second > now) {
            continue;
        }
        if (!playing.count(pid)) {
            _tapConsecutiveMisses[pid] = 0;
            continue;
        }
        auto pipeIt = _pipelines->map.find(entry.slot);
        if (pipeIt == _pipelines->map.end()) continue;
        const auto& host = *pipeIt->second.ioProc;
        if (host.activatedAt() <= 0 ||
            now - host.activatedAt() < constants::kActivationGraceSeconds)
            continue;
        const uint64_t last = host.lastRenderHostTime();
        const uint64_t hostNow = clock.hostTime();
        if (last != 0 && static_cast<double>(hostNow - last) * host.hostTimeNanosScale() <=
                             constants::kLateCallbackNanos) {
            _tapConsecutiveMisses[pid] = 0;
            continue;
        }
        const int misses = _tapConsecutiveMisses[pid] + 1;
        _tapConsecutiveMisses[pid] = misses;
        TAKLog::log().info("health monitor: pid=" + std::to_string(pid) +
                           " slot=" + std::to_string(entry.slot) + " miss #" +
                           std::to_string(misses) + " (no IOProc callback within " +
                           std::to_string(constants::kLateCallbackSecondsForLog) + "s)");
        if (misses >= constants::kMissesBeforeRecovery) {
            _tapConsecutiveMisses[pid] = 0;
            _tapRecoveryCooldownUntil[pid] = now + constants::kRecoveryCooldownSeconds;
            recreateTap(pid);
        }
    }
}

bool TAKEngine::refreshTapSourcesIfStale() {
    auto currentCatalog = catalog();
    if (!currentCatalog || !_pipelines) return false;
    const auto outputUID = currentOutputUID();
    if (!outputUID) return false;
    std::vector<uint32_t> stale;
    for (const auto& entry : currentCatalog->activeEntries()) {
        auto it = _pipelines->map.find(entry.slot);
        if (it != _pipelines->map.end() && it->second.aggregate.outputUID != *outputUID)
            stale.push_back(entry.slot);
    }
    if (stale.empty()) return false;
    TAKLog::log().info("refreshTapSource audit: " + std::to_string(stale.size()) +
                       " stale slot(s) — batch crossfade to " + *outputUID);
    AudioObjectID device = realOutputDeviceID;
    if (device == 0) {
        try {
            device = TAKCoreAudio(env.audio).getProperty<AudioObjectID>(
                kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
        } catch (const TAKError&) {
            device = 0;
        }
    }
    performCrossfadeRebuild(stale, *outputUID, device);
    return true;
}

void TAKEngine::recreateTap(pid_t pid) {
    auto currentCatalog = catalog();
    if (!currentCatalog) return;
    const auto entry = currentCatalog->entry(pid);
    if (!entry) return;
    if (!currentOutputUID()) {
        TAKLog::log().error("health monitor recreate: no default output parentPID=" +
                            std::to_string(pid));
        return;
    }
    if (!_pipelines->map.count(entry->slot)) return;
    std::vector<TAKAppGroup> groups;
    try {
        groups = TAKProcessRegistry(env.audio).listGroupedByParent(
            TAKRunningAppsSnapshot::current(env.applications),
            TAKResponsibility::lookup(env.responsibleProcess));
    } catch (const TAKError& error) {
        TAKLog::log().error("health monitor: registry read failed: " + error.description());
        return;
    }
    for (const auto& group : groups) {
        if (group.parentPID != pid) continue;
        TAKLog::log().info("health monitor: rebuilding parentPID=" + std::to_string(pid) +
                           " slot=" + std::to_string(entry->slot) +
                           " n=" + std::to_string(group.processObjectIDs.size()));
        rebuildSlotWithObjectIDs(entry->slot, pid, group.processObjectIDs);
        return;
    }
    TAKLog::log().error("health monitor recreate: parentPID=" + std::to_string(pid) +
                        " not in registry — destructive teardown");
    destructiveRecreate(pid);
}

void TAKEngine::destructiveRecreate(pid_t pid) {
    auto currentCatalog = catalog();
    if (!currentCatalog || !_tapManager || !_pipelines) return;
    const auto entry = currentCatalog->entry(pid);
    if (!entry) return;
    if (auto it = _pipelines->map.find(entry->slot); it != _pipelines->map.end()) {
        const auto pipeline = it->second;
        _pipelines->map.erase(it);
        stopAndDestroy(pipeline);
    }
    if (entry->tap) _tapManager->destroy(*entry->tap);
    bumpCatalogGeneration();
}

}  // namespace tobble::engine
