// Noticing and repairing pipelines that fail quietly: callbacks that stopped, pipelines left on
// an old device, applications whose process list changed under them.
#include "engine/TAKEngine.h"
#include "engine/TAKEngineConstants.h"
#include "engine/core/HostTime.h"
#include "engine/core/TAKCoreAudio.h"
#include "engine/core/TAKLog.h"
#include "platform/dispatch/QueueCheck.h"

namespace tobble::engine {

using namespace audio;

void TAKEngine::installHealthMonitor() {
    dispatch::assertOnQueue(queue_);
    if (healthMonitorTimer_) return;
    healthMonitorTimer_ = env_.dispatcher.makeRepeatingTimer(
        queue_, constants::kHealthPeriodSeconds, constants::kHealthPeriodSeconds,
        weakly([](TAKEngine& e) { e.runHealthCheck(); }));
}

void TAKEngine::runHealthCheck() {
    dispatch::assertOnQueue(queue_);
    auto currentCatalog = catalog();
    if (!currentCatalog || !tapManager_ || !pipelines_ || follower_->isSwitching()) return;
    follower_->releaseRetiredStates();
    const auto active = currentCatalog->activeEntries();
    if (active.empty()) return;
    if (refreshTapSourcesIfStale()) return;

    auto& clock = env_.dispatcher.clock();
    const double now = clock.absoluteTime();
    std::erase_if(tapRecoveryCooldownUntil_,
                  [now](const auto& item) { return item.second <= now; });

    std::set<pid_t> playing;
    try {
        for (const auto& process : TAKProcessRegistry(env_.audio).listOutputAudible())
            playing.insert(process.pid);
    } catch (const TAKError& error) {
        TAKLog::log().error("health monitor: registry read failed: " + error.description());
        return;
    }

    for (const auto& entry : active) {
        const pid_t pid = entry.pid;
        if (volumeState_.muted(entry.slot)) {
            tapConsecutiveMisses_[pid] = 0;
            continue;
        }
        if (auto it = tapRecoveryCooldownUntil_.find(pid);
            it != tapRecoveryCooldownUntil_.end() && it->second > now) {
            continue;
        }
        if (!playing.count(pid)) {
            tapConsecutiveMisses_[pid] = 0;
            continue;
        }
        auto pipeIt = pipelines_->map.find(entry.slot);
        if (pipeIt == pipelines_->map.end()) continue;
        const auto& host = *pipeIt->second.ioProc;
        if (host.activatedAt() <= 0 ||
            now - host.activatedAt() < constants::kActivationGraceSeconds)
            continue;
        if (!isLate(host.lastRenderHostTime(), clock.hostTime(), host.hostTimeNanosScale(),
                    constants::kLateCallbackNanos)) {
            tapConsecutiveMisses_[pid] = 0;
            continue;
        }
        const int misses = tapConsecutiveMisses_[pid] + 1;
        tapConsecutiveMisses_[pid] = misses;
        TAKLog::log().info("health monitor: pid=" + std::to_string(pid) +
                           " slot=" + std::to_string(entry.slot) + " miss #" +
                           std::to_string(misses) + " (no IOProc callback within " +
                           std::to_string(constants::kLateCallbackSecondsForLog) + "s)");
        if (misses >= constants::kMissesBeforeRecovery) {
            tapConsecutiveMisses_[pid] = 0;
            tapRecoveryCooldownUntil_[pid] = now + constants::kRecoveryCooldownSeconds;
            recreateTap(pid);
        }
    }
}

bool TAKEngine::refreshTapSourcesIfStale() {
    dispatch::assertOnQueue(queue_);
    auto currentCatalog = catalog();
    if (!currentCatalog || !pipelines_) return false;
    const auto outputUID = follower_->outputUID();
    if (!outputUID) return false;
    std::vector<uint32_t> stale;
    for (const auto& entry : currentCatalog->activeEntries()) {
        auto it = pipelines_->map.find(entry.slot);
        if (it != pipelines_->map.end() && it->second.aggregate.outputUID != *outputUID)
            stale.push_back(entry.slot);
    }
    if (stale.empty()) return false;
    TAKLog::log().info("refreshTapSource audit: " + std::to_string(stale.size()) +
                       " stale slot(s) — batch crossfade to " + *outputUID);
    const AudioObjectID device = follower_->outputDeviceID() != 0
                                     ? follower_->outputDeviceID()
                                     : TAKCoreAudio(env_.audio).defaultOutputDevice().value_or(0);
    follower_->migrate(stale, *outputUID, device);
    return true;
}

void TAKEngine::recreateTap(pid_t pid) {
    dispatch::assertOnQueue(queue_);
    auto currentCatalog = catalog();
    if (!currentCatalog) return;
    const auto entry = currentCatalog->entry(pid);
    if (!entry) return;
    if (!follower_->outputUID()) {
        TAKLog::log().error("health monitor recreate: no default output parentPID=" +
                            std::to_string(pid));
        return;
    }
    if (!pipelines_->map.count(entry->slot)) return;
    const auto groups = readAppGroups("health monitor: registry read failed: ");
    if (!groups) return;
    for (const auto& group : *groups) {
        if (group.parentPID != pid) continue;
        TAKLog::log().info("health monitor: rebuilding parentPID=" + std::to_string(pid) +
                           " slot=" + std::to_string(entry->slot) +
                           " n=" + std::to_string(group.processObjectIDs.size()));
        follower_->rebuildSlot(entry->slot, pid, group.processObjectIDs);
        return;
    }
    TAKLog::log().error("health monitor recreate: parentPID=" + std::to_string(pid) +
                        " not in registry — destructive teardown");
    destructiveRecreate(pid);
}

void TAKEngine::destructiveRecreate(pid_t pid) {
    dispatch::assertOnQueue(queue_);
    auto currentCatalog = catalog();
    if (!currentCatalog || !tapManager_ || !pipelines_) return;
    const auto entry = currentCatalog->entry(pid);
    if (!entry) return;
    if (auto it = pipelines_->map.find(entry->slot); it != pipelines_->map.end()) {
        const auto pipeline = it->second;
        pipelines_->map.erase(it);
        stopAndDestroy(pipeline);
    }
    if (entry->tap) teardown_.removeTap(*entry->tap);
    // The entry named the tap just destroyed: freed, the application is admitted again by the next
    // pass, with its saved volume and mute, instead of playing untapped behind a dead row.
    currentCatalog->free(pid);
    tapConsecutiveMisses_.erase(pid);
    bumpCatalogGeneration();
}

}  // namespace tobble::engine
