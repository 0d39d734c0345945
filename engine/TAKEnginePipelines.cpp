// Building and tearing down pipelines: aggregate device plus I/O callback host per slot.
#include "engine/TAKEngine.h"
#include "engine/TAKEngineConstants.h"
#include "engine/core/TAKCoreAudio.h"
#include "engine/core/TAKLog.h"

namespace tobble::engine {

using namespace audio;

void TAKEngine::synchronizePipelines() {
    auto currentCatalog = catalog();
    if (!currentCatalog || !_pipelines) return;
    const auto active = currentCatalog->activeEntries();

    std::vector<uint32_t> doomed;
    for (const auto& [slot, pipeline] : _pipelines->map) {
        bool keep = false;
        for (const auto& entry : active) {
            if (entry.slot == slot && entry.tap && entry.tap->uid == pipeline.tapUID) keep = true;
        }
        if (!keep) doomed.push_back(slot);
    }
    for (uint32_t slot : doomed) tearDownPipeline(slot);

    std::vector<TAKTapEntry> missing;
    for (const auto& entry : active) {
        if (!_pipelines->map.count(entry.slot)) missing.push_back(entry);
    }
    if (missing.empty()) return;

    const auto outputUID = currentOutputUID();
    if (!outputUID) {
        TAKLog::log().error("reconcile: no default output UID — skipping build of " +
                            std::to_string(missing.size()) + " pipelines");
        return;
    }

    int warmupMs = constants::kWarmupMs;
    try {
        const auto transport = TAKCoreAudio(env.audio).getProperty<uint32_t>(
            realOutputDeviceID, kAudioDevicePropertyTransportType);
        const bool bluetooth = transport == kAudioDeviceTransportTypeBluetooth ||
                               transport == kAudioDeviceTransportTypeBluetoothLE;
        if (bluetooth && _pipelines->map.empty()) warmupMs = constants::kIdleBluetoothWarmupMs;
    } catch (const TAKError&) {
    }
    for (const auto& entry : missing) {
        buildPipeline(entry, *outputUID, warmupMs);
        warmupMs = constants::kWarmupMs;
    }
}

void TAKEngine::buildPipeline(const TAKTapEntry& entry, const std::string& outputUID,
                              int warmupMs) {
    const TAKAggregateBuilder builder(env.audio);
    try {
        if (!entry.tap) throw TAKError::aggregateRebuildFailed(-1);
        const auto aggregate = builder.build(entry.tap->uid, outputUID);
        auto host = std::make_shared<TAKIOProcHost>(entry.slot, _volumeState, _rmsBuffer, env.audio,
                                                    env.dispatcher);
        const double rate = entry.tap->format.mSampleRate > 0 ? entry.tap->format.mSampleRate
                                                              : constants::kFallbackSampleRate;
        const auto frames = static_cast<int64_t>(static_cast<double>(warmupMs) / 1000.0 * rate);
        host->setWarmupFramesRemaining(frames < 0 ? 0 : frames);
        try {
            host->start(aggregate.aggregateID);
        } catch (const TAKError&) {
            builder.destroy(aggregate);
            throw;
        }
        _pipelines->map[entry.slot] = TAKAggregateLifecycle::PerAppPipeline{
            entry.slot, entry.pid, entry.tap->uid, aggregate, host};
        bumpCatalogGeneration();
        TAKLog::log().info("pipeline built slot=" + std::to_string(entry.slot) +
                           " parentPID=" + std::to_string(entry.pid) +
                           " aggID=" + std::to_string(aggregate.aggregateID) +
                           " warmupMs=" + std::to_string(warmupMs));
    } catch (const TAKError& error) {
        TAKLog::log().error("pipeline build failed slot=" + std::to_string(entry.slot) +
                            " parentPID=" + std::to_string(entry.pid) + ": " + error.description());
    }
}

void TAKEngine::stopAndDestroy(const TAKAggregateLifecycle::PerAppPipeline& pipeline) {
    pipeline.ioProc->stop();
    TAKAggregateBuilder(env.audio).destroy(pipeline.aggregate);
}

void TAKEngine::tearDownPipeline(uint32_t slot) {
    auto it = _pipelines->map.find(slot);
    if (it == _pipelines->map.end()) return;
    const auto pipeline = it->second;
    _pipelines->map.erase(it);
    stopAndDestroy(pipeline);
    bumpCatalogGeneration();
}

void TAKEngine::evict(const TAKTapEntry& victim) {
    if (auto it = _pipelines->map.find(victim.slot); it != _pipelines->map.end()) {
        const auto pipeline = it->second;
        _pipelines->map.erase(it);
        stopAndDestroy(pipeline);
    }
    if (victim.tap) _tapManager->destroy(*victim.tap);
    catalog()->free(victim.pid);
    if (auto it = _pendingDestroyTasks.find(victim.pid); it != _pendingDestroyTasks.end()) {
        it->second->cancel();
        _pendingDestroyTasks.erase(it);
    }
    _tapConsecutiveMisses.erase(victim.pid);
    _tapRecoveryCooldownUntil.erase(victim.pid);
}

void TAKEngine::destroyAllPipelines() {
    if (!_pipelines) return;
    for (const auto& [slot, pipeline] : _pipelines->map) stopAndDestroy(pipeline);
    _pipelines->map.clear();
}

void TAKEngine::performDeferredTeardown(pid_t pid) {
    _pendingDestroyTasks.erase(pid);
    if (env.processes.exists(pid)) {
        TAKLog::log().info("deferred teardown pid=" + std::to_string(pid) + " — pid alive, skip");
        return;
    }
    auto currentCatalog = catalog();
    if (!currentCatalog || !_tapManager || !_pipelines) return;
    const auto entry = currentCatalog->entry(pid);
    if (!entry) return;
    TAKLog::log().info("deferred teardown pid=" + std::to_string(pid) +
                       " slot=" + std::to_string(entry->slot) + " executing");
    if (auto it = _pipelines->map.find(entry->slot); it != _pipelines->map.end()) {
        const auto pipeline = it->second;
        _pipelines->map.erase(it);
        stopAndDestroy(pipeline);
    }
    _volumeState.reset(entry->slot);
    _rmsBuffer.reset(entry->slot);
    if (entry->tap) _tapManager->destroy(*entry->tap);
    currentCatalog->free(pid);
    _tapConsecutiveMisses.erase(pid);
    _tapRecoveryCooldownUntil.erase(pid);
    bumpCatalogGeneration();
}

}  // namespace tobble::engine
