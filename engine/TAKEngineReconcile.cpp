// The reconcile pass: compare the audio process list with the catalog and close the gap.
#include <cmath>

#include "engine/TAKEngine.h"
#include "engine/TAKEngineConstants.h"
#include "engine/core/TAKLog.h"
#include "engine/core/TAKProcessRegistry.h"
#include "platform/dispatch/QueueCheck.h"

namespace tobble::engine {

using namespace audio;

namespace {

std::string pidSetText(const std::set<AudioObjectID>& ids) { return std::to_string(ids.size()); }

}  // namespace

void TAKEngine::reconcile() {
    dispatch::assertOnQueue(queue_);
    auto currentCatalog = catalog();
    if (!currentCatalog || !tapManager_ || !pipelines_) return;
    retryTeardown();
    const double now = env_.dispatcher.clock().absoluteTime();
    const pid_t ownPid = env_.processes.ownPid();

    const auto read = readAppGroups("reconcile failed: ");
    if (!read) return;
    const std::vector<TAKAppGroup>& groups = *read;
    std::vector<TAKAppGroup> audible;
    for (auto& group : groups) {
        if (group.parentPID != ownPid && group.anyRunning) audible.push_back(std::move(group));
    }

    detectExits(audible);

    for (const auto& group : audible) {
        const auto entry = currentCatalog->entry(group.parentPID);
        if (!entry) {
            bool endPass = false;
            admit(group, ownPid, now, endPass);
            if (endPass) return;
            continue;
        }
        if (entry->tap && entry->tap->processObjectIDs != group.processObjectIDs) {
            TAKLog::log().info(
                "parentPID=" + std::to_string(group.parentPID) +
                " objectID set changed (was=" + pidSetText(entry->tap->processObjectIDs) +
                " now=" + pidSetText(group.processObjectIDs) + ") — crossfade rebuild");
            follower_->rebuildSlot(entry->slot, group.parentPID, group.processObjectIDs);
        }
    }
    synchronizePipelines();
}

std::optional<std::vector<TAKAppGroup>> TAKEngine::readAppGroups(std::string_view failurePrefix) {
    try {
        return TAKProcessRegistry(env_.audio)
            .listGroupedByParent(TAKRunningAppsSnapshot::current(env_.applications),
                                 TAKResponsibility::lookup(env_.responsibleProcess));
    } catch (const TAKError& error) {
        TAKLog::log().error(std::string(failurePrefix) + error.description());
        return std::nullopt;
    }
}

void TAKEngine::detectExits(const std::vector<TAKAppGroup>& audible) {
    dispatch::assertOnQueue(queue_);
    auto currentCatalog = catalog();
    for (const auto& entry : currentCatalog->allEntries()) {
        const pid_t pid = entry.pid;
        if (env_.processes.exists(pid) || pendingDestroyTasks_.count(pid)) continue;
        TAKLog::log().info("parentPID=" + std::to_string(pid) +
                           " kernel-exit detected — deferring teardown " +
                           std::to_string(constants::kDeferredTeardownSeconds) + "s");
        auto item = std::make_shared<dispatch::WorkItem>(
            weakly([pid](TAKEngine& e) { e.performDeferredTeardown(pid); }));
        pendingDestroyTasks_.emplace(pid, item);
        queue_->asyncAfter(constants::kDeferredTeardownSeconds, item);
    }
    for (const auto& group : audible) {
        auto it = pendingDestroyTasks_.find(group.parentPID);
        if (it == pendingDestroyTasks_.end()) continue;
        it->second->cancel();
        pendingDestroyTasks_.erase(it);
        TAKLog::log().info("parentPID=" + std::to_string(group.parentPID) +
                           " reappeared — cancelled deferred teardown");
    }
}

void TAKEngine::admit(const TAKAppGroup& group, pid_t, double now, bool& endPass) {
    dispatch::assertOnQueue(queue_);
    auto currentCatalog = catalog();
    const pid_t pid = group.parentPID;
    try {
        currentCatalog->allocate(pid, group.parentBundleID, now);
    } catch (const TAKError& error) {
        if (error.kind() != TAKError::Kind::noSlotsAvailable) {
            TAKLog::log().error("reconcile failed: " + error.description());
            endPass = true;
            return;
        }
        // A muted application meters silence because we silence it; evicted, it would be heard
        // unmuted until admitted again. Muted applications are never evicted.
        const auto victim = currentCatalog->pickEvictionCandidate(
            now, constants::kEvictionSilenceSeconds,
            [this](const TAKTapEntry& entry) { return volumeState_.muted(entry.slot); });
        if (!victim) {
            TAKLog::log().info("reconcile: cap hit, no evictable tap — rejecting parentPID=" +
                               std::to_string(pid));
            currentCatalog->markRejected(pid, group.parentBundleID);
            return;
        }
        evict(*victim);
        try {
            currentCatalog->allocate(pid, group.parentBundleID, now);
        } catch (const TAKError& again) {
            TAKLog::log().error("post-eviction allocate failed: " + again.description());
            return;
        }
    }

    TAKTapEntry admitted;
    admitted.bundleID = group.parentBundleID;
    const auto preferred = follower_->outputFor(admitted);
    TAKTap tap;
    try {
        tap = tapManager_->createTap(pid, group.processObjectIDs, preferred);
    } catch (const TAKError& error) {
        TAKLog::log().error("tap create failed parentPID=" + std::to_string(pid) + ": " +
                            error.description());
        currentCatalog->free(pid);
        return;
    }
    currentCatalog->markActive(pid, tap);

    const auto entry = currentCatalog->entry(pid);
    const uint32_t slot = entry ? entry->slot : 0;
    std::optional<TAKSavedVolumes::Saved> saved;
    if (group.parentBundleID && !group.parentBundleID->empty() && savedVolumes_) {
        saved = savedVolumes_->savedVolume(*group.parentBundleID);
    }
    if (saved) {
        volumeState_.write(slot, saved->volume, saved->isMuted);
    } else {
        volumeState_.write(slot, 1.0f, false);
    }
    TAKLog::log().info("tap created parentPID=" + std::to_string(pid) +
                       " bundle=" + group.parentBundleID.value_or("<nil>") +
                       " n=" + std::to_string(group.processObjectIDs.size()) +
                       " slot=" + std::to_string(entry ? entry->slot : 0));
}

void TAKEngine::updateLastAudibleFromRMS() {
    dispatch::assertOnQueue(queue_);
    auto currentCatalog = catalog();
    if (!currentCatalog) return;
    const double now = env_.dispatcher.clock().absoluteTime();
    for (const auto& entry : currentCatalog->activeEntries()) {
        const float level = rmsBuffer_.level(entry.slot);
        // A NaN level compares false: silent.
        if (level > kAudibleLevel) currentCatalog->noteAudible(entry.pid, now);
    }
    // The callbacks' diagnostics wait in their rings until a queue that may allocate writes them.
    if (pipelines_) {
        for (const auto& [slot, pipeline] : pipelines_->map) {
            if (pipeline.ioProc) pipeline.ioProc->writeLog();
        }
    }
}

}  // namespace tobble::engine
