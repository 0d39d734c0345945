// Building and tearing down pipelines: aggregate device plus I/O callback host per slot.
#include "engine/TAKEngine.h"
#include "engine/TAKEngineConstants.h"
#include "engine/core/TAKCoreAudio.h"
#include "engine/core/TAKLog.h"
#include "platform/dispatch/QueueCheck.h"

namespace tobble::engine {

using namespace audio;

void TAKEngine::synchronizePipelines() {
    dispatch::assertOnQueue(queue_);
    auto currentCatalog = catalog();
    if (!currentCatalog || !pipelines_) return;
    const auto active = currentCatalog->activeEntries();

    std::vector<uint32_t> doomed;
    for (const auto& [slot, pipeline] : pipelines_->map) {
        bool keep = false;
        for (const auto& entry : active) {
            if (entry.slot == slot && entry.tap && entry.tap->uid == pipeline.tapUID) keep = true;
        }
        if (!keep) doomed.push_back(slot);
    }
    for (uint32_t slot : doomed) tearDownPipeline(slot);

    std::vector<TAKTapEntry> missing;
    for (const auto& entry : active) {
        if (!pipelines_->map.count(entry.slot)) missing.push_back(entry);
    }
    if (missing.empty()) return;

    const auto outputUID = follower_->outputUID();
    if (!outputUID) {
        TAKLog::log().error("reconcile: no default output UID — skipping build of " +
                            std::to_string(missing.size()) + " pipelines");
        return;
    }

    // Where the audio system starts a pipeline cleanly, the warm-up's silence would only cut
    // the start of the app's sound: its stream already plays into the tap.
    const TAKCoreAudio core(env_.audio);
    const bool startsCleanly =
        core.readProperty<uint32_t>(kAudioObjectSystemObject, kTobbleHardwarePropertyStartsCleanly)
            .value_or(0) != 0;
    const int steadyWarmupMs = startsCleanly ? 0 : constants::kWarmupMs;
    int warmupMs = steadyWarmupMs;
    if (pipelines_->map.empty() && core.isBluetooth(follower_->outputDeviceID())) {
        warmupMs = constants::kIdleBluetoothWarmupMs;
    }
    for (const auto& entry : missing) {
        buildPipeline(entry, follower_->outputFor(entry).value_or(*outputUID), warmupMs);
        warmupMs = steadyWarmupMs;
    }
}

void TAKEngine::buildPipeline(const TAKTapEntry& entry, const std::string& outputUID,
                              int warmupMs) {
    dispatch::assertOnQueue(queue_);
    const TAKAggregateBuilder builder(env_.audio);
    try {
        if (!entry.tap) throw TAKError::aggregateRebuildFailed(-1);
        const auto aggregate = builder.build(entry.tap->uid, outputUID);
        auto host =
            std::make_shared<TAKIOProcHost>(entry.slot, volumeState_, rmsBuffer_, env_.audio,
                                            env_.dispatcher.clock(), callbackQueue_);
        const double rate = entry.tap->format.mSampleRate > 0 ? entry.tap->format.mSampleRate
                                                              : constants::kFallbackSampleRate;
        const auto frames = static_cast<int64_t>(static_cast<double>(warmupMs) / 1000.0 * rate);
        host->setWarmupFramesRemaining(frames < 0 ? 0 : frames);
        try {
            host->start(aggregate.aggregateID);
        } catch (const TAKError&) {
            teardown_.removePipeline(host, aggregate);
            throw;
        }
        pipelines_->map[entry.slot] =
            AppPipeline{entry.slot, entry.pid, entry.tap->uid, aggregate, host};
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

void TAKEngine::stopAndDestroy(const AppPipeline& pipeline) {
    dispatch::assertOnQueue(queue_);
    teardown_.removePipeline(pipeline.ioProc, pipeline.aggregate);
}

void TAKEngine::tearDownPipeline(uint32_t slot) {
    dispatch::assertOnQueue(queue_);
    auto it = pipelines_->map.find(slot);
    if (it == pipelines_->map.end()) return;
    const auto pipeline = it->second;
    pipelines_->map.erase(it);
    stopAndDestroy(pipeline);
    bumpCatalogGeneration();
}

void TAKEngine::evict(const TAKTapEntry& victim) {
    dispatch::assertOnQueue(queue_);
    if (auto it = pipelines_->map.find(victim.slot); it != pipelines_->map.end()) {
        const auto pipeline = it->second;
        pipelines_->map.erase(it);
        stopAndDestroy(pipeline);
    }
    if (victim.tap) teardown_.removeTap(*victim.tap);
    catalog()->free(victim.pid);
    if (auto it = pendingDestroyTasks_.find(victim.pid); it != pendingDestroyTasks_.end()) {
        it->second->cancel();
        pendingDestroyTasks_.erase(it);
    }
    health_->forget(victim.pid);
}

void TAKEngine::destroyAllPipelines() {
    dispatch::assertOnQueue(queue_);
    if (!pipelines_) return;
    for (const auto& [slot, pipeline] : pipelines_->map) stopAndDestroy(pipeline);
    pipelines_->map.clear();
}

void TAKEngine::destroyActiveTaps(const TAKTapCatalog& catalog) {
    dispatch::assertOnQueue(queue_);
    for (const auto& entry : catalog.activeEntries()) {
        if (entry.tap) teardown_.removeTap(*entry.tap);
    }
}

void TAKEngine::performDeferredTeardown(pid_t pid) {
    dispatch::assertOnQueue(queue_);
    if (!isRunning()) return;
    pendingDestroyTasks_.erase(pid);
    if (env_.processes.exists(pid)) {
        TAKLog::log().info("deferred teardown pid=" + std::to_string(pid) + " — pid alive, skip");
        return;
    }
    auto currentCatalog = catalog();
    if (!currentCatalog || !tapManager_ || !pipelines_) return;
    const auto entry = currentCatalog->entry(pid);
    if (!entry) return;
    TAKLog::log().info("deferred teardown pid=" + std::to_string(pid) +
                       " slot=" + std::to_string(entry->slot) + " executing");
    if (auto it = pipelines_->map.find(entry->slot); it != pipelines_->map.end()) {
        const auto pipeline = it->second;
        pipelines_->map.erase(it);
        stopAndDestroy(pipeline);
    }
    volumeState_.reset(entry->slot);
    rmsBuffer_.reset(entry->slot);
    if (entry->tap) teardown_.removeTap(*entry->tap);
    currentCatalog->free(pid);
    health_->forget(pid);
    bumpCatalogGeneration();
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
    bumpCatalogGeneration();
}

void TAKEngine::retryTeardown() {
    dispatch::assertOnQueue(queue_);
    teardown_.retry();
    keepalive_->removeLeftovers();
    follower_->releaseRetiredStates();
}

void TAKEngine::performFullRebuild() {
    dispatch::assertOnQueue(queue_);
    auto currentCatalog = catalog();
    if (!currentCatalog || !tapManager_) return;
    destroyAllPipelines();
    follower_->releaseRetiredStates();
    destroyActiveTaps(*currentCatalog);
    for (const auto& entry : currentCatalog->allEntries()) currentCatalog->free(entry.pid);
    for (auto& [pid, item] : pendingDestroyTasks_) item->cancel();
    pendingDestroyTasks_.clear();
    health_->forgetAll();
    follower_->forgetOutput();
    reconcile();
}

}  // namespace tobble::engine
