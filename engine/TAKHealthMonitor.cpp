#include "engine/TAKHealthMonitor.h"

#include "engine/TAKEngineConstants.h"
#include "engine/core/HostTime.h"
#include "engine/core/TAKCoreAudio.h"
#include "engine/core/TAKLog.h"
#include "platform/dispatch/QueueCheck.h"

namespace tobble::engine {

using namespace audio;

TAKHealthMonitor::TAKHealthMonitor(const Environment& environment, dispatch::QueuePtr queue,
                                   TAKVolumeState& volumeState, TAKOutputFollower& follower,
                                   Engine engine)
    : env_(environment),
      queue_(std::move(queue)),
      volumeState_(volumeState),
      follower_(follower),
      engine_(std::move(engine)) {}

std::shared_ptr<TAKHealthMonitor> TAKHealthMonitor::make(const Environment& environment,
                                                         dispatch::QueuePtr queue,
                                                         TAKVolumeState& volumeState,
                                                         TAKOutputFollower& follower,
                                                         Engine engine) {
    return std::shared_ptr<TAKHealthMonitor>(new TAKHealthMonitor(
        environment, std::move(queue), volumeState, follower, std::move(engine)));
}

void TAKHealthMonitor::start(std::shared_ptr<TAKTapCatalog> catalog,
                             std::map<uint32_t, AppPipeline>& pipelines) {
    dispatch::assertOnQueue(queue_);
    catalog_ = std::move(catalog);
    pipelines_ = &pipelines;
    if (timer_) return;
    timer_ = env_.dispatcher.makeRepeatingTimer(queue_, constants::kHealthPeriodSeconds,
                                                constants::kHealthPeriodSeconds,
                                                [weak = weak_from_this()] {
                                                    if (auto self = weak.lock()) self->runCheck();
                                                });
}

void TAKHealthMonitor::stop() {
    dispatch::assertOnQueue(queue_);
    if (timer_) timer_->cancel();
    timer_.reset();
    catalog_.reset();
    pipelines_ = nullptr;
    forgetAll();
}

void TAKHealthMonitor::forget(pid_t pid) {
    consecutiveMisses_.erase(pid);
    cooldownUntil_.erase(pid);
}

void TAKHealthMonitor::forgetAll() {
    consecutiveMisses_.clear();
    cooldownUntil_.clear();
}

void TAKHealthMonitor::runCheck() {
    dispatch::assertOnQueue(queue_);
    auto currentCatalog = catalog_;
    if (!currentCatalog || !pipelines_ || follower_.isSwitching()) return;
    follower_.releaseRetiredStates();
    const auto active = currentCatalog->activeEntries();
    if (active.empty()) return;
    if (moveStalePipelines()) return;

    auto& clock = env_.dispatcher.clock();
    const double now = clock.absoluteTime();
    std::erase_if(cooldownUntil_, [now](const auto& item) { return item.second <= now; });

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
            consecutiveMisses_[pid] = 0;
            continue;
        }
        if (auto it = cooldownUntil_.find(pid); it != cooldownUntil_.end() && it->second > now) {
            continue;
        }
        if (!playing.count(pid)) {
            consecutiveMisses_[pid] = 0;
            continue;
        }
        auto pipeIt = pipelines_->find(entry.slot);
        if (pipeIt == pipelines_->end()) continue;
        const auto& host = *pipeIt->second.ioProc;
        if (host.activatedAt() <= 0 ||
            now - host.activatedAt() < constants::kActivationGraceSeconds)
            continue;
        if (!isLate(host.lastRenderHostTime(), clock.hostTime(), host.hostTimeNanosScale(),
                    constants::kLateCallbackNanos)) {
            consecutiveMisses_[pid] = 0;
            continue;
        }
        const int misses = consecutiveMisses_[pid] + 1;
        consecutiveMisses_[pid] = misses;
        TAKLog::log().info("health monitor: pid=" + std::to_string(pid) +
                           " slot=" + std::to_string(entry.slot) + " miss #" +
                           std::to_string(misses) + " (no IOProc callback within " +
                           std::to_string(constants::kLateCallbackSecondsForLog) + "s)");
        if (misses >= constants::kMissesBeforeRecovery) {
            consecutiveMisses_[pid] = 0;
            cooldownUntil_[pid] = now + constants::kRecoveryCooldownSeconds;
            recover(pid);
        }
    }
}

bool TAKHealthMonitor::moveStalePipelines() {
    dispatch::assertOnQueue(queue_);
    if (!catalog_ || !pipelines_) return false;
    return follower_.moveStrayPipelines("refreshTapSource audit");
}

void TAKHealthMonitor::recover(pid_t pid) {
    dispatch::assertOnQueue(queue_);
    auto currentCatalog = catalog_;
    if (!currentCatalog) return;
    const auto entry = currentCatalog->entry(pid);
    if (!entry) return;
    if (!follower_.outputUID()) {
        TAKLog::log().error("health monitor recreate: no default output parentPID=" +
                            std::to_string(pid));
        return;
    }
    if (!pipelines_->count(entry->slot)) return;
    const auto groups = engine_.readAppGroups("health monitor: registry read failed: ");
    if (!groups) return;
    for (const auto& group : *groups) {
        if (group.parentPID != pid) continue;
        TAKLog::log().info("health monitor: rebuilding parentPID=" + std::to_string(pid) +
                           " slot=" + std::to_string(entry->slot) +
                           " n=" + std::to_string(group.processObjectIDs.size()));
        follower_.rebuildSlot(entry->slot, pid, group.processObjectIDs);
        return;
    }
    TAKLog::log().error("health monitor recreate: parentPID=" + std::to_string(pid) +
                        " not in registry — destructive teardown");
    engine_.tearDown(pid);
    consecutiveMisses_.erase(pid);
}

}  // namespace tobble::engine
