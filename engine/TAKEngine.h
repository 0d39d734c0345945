#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/TAKHealthMonitor.h"
#include "engine/TAKOutputFollower.h"
#include "engine/TAKOutputPins.h"
#include "engine/TAKSavedVolumes.h"
#include "engine/TAKTapCatalog.h"
#include "engine/core/TAKProcessRegistry.h"
#include "engine/core/TAKProcessRegistryWatcher.h"
#include "engine/pipeline/AppPipeline.h"
#include "engine/pipeline/TAKCrossfadeState.h"
#include "engine/pipeline/TAKKeepaliveHost.h"
#include "engine/pipeline/TAKRMSBuffer.h"
#include "engine/pipeline/TAKTapManager.h"
#include "engine/pipeline/TAKTeardown.h"
#include "engine/pipeline/TAKVolumeState.h"
#include "platform/Environment.h"

namespace tobble::engine {

// Gives every application that produces sound its own tap, private aggregate device and I/O
// callback, and keeps that set in step with the system: a reconcile pass compares the audio
// process list with what is built and closes the gap. All engine state lives on one serial
// queue ("tak.reconcile"); start() and stop() run their work synchronously on it.
//
// The app has one engine (shared()); tests build their own over a simulated system.
class TAKEngine : public std::enable_shared_from_this<TAKEngine> {
  public:
    struct Options {
        TAKVolumeState* volumeState;  // null: the process-wide tables
        TAKRMSBuffer* rmsBuffer;
        TAKSavedVolumes* savedVolumes;        // null: every application starts at 1.0
        TAKOutputPins* outputPins = nullptr;  // null: every application follows the default
    };

    static std::shared_ptr<TAKEngine> make(const Environment& environment, Options options);
    static std::shared_ptr<TAKEngine> make(const Environment& environment) {
        return make(environment, Options{nullptr, nullptr, nullptr});
    }

    // The application's engine. configureShared() must run once before the first shared().
    static void configureShared(const Environment& environment, Options options);
    static TAKEngine& shared();
    static bool hasShared();

    ~TAKEngine();
    TAKEngine(const TAKEngine&) = delete;
    TAKEngine& operator=(const TAKEngine&) = delete;

    void start();
    void stop();
    // One reconcile pass now, on the engine's queue (what the 1 s timer does).
    void reconcileNow();
    // The user sent an application to another output, or back to the default: its pipeline
    // cross-fades there, on the engine's queue, soon after the call.
    void outputPinsChanged();

    // ---- read from the application's queues
    // The current catalog; empty while stopped.
    std::shared_ptr<TAKTapCatalog> catalog() const;
    uint32_t catalogGeneration() const { return catalogGeneration_.load(); }
    TAKVolumeState& volumeState() const { return volumeState_; }
    TAKRMSBuffer& rmsBuffer() const { return rmsBuffer_; }
    TAKSavedVolumes* savedVolumes() const { return savedVolumes_; }
    const dispatch::QueuePtr& queue() const { return queue_; }
    bool isStarted() const;

    // ---- inspection; call on the reconcile queue or while it is idle
    std::vector<AppPipeline> pipelines() const;
    std::vector<AppPipeline> pipelinesForTesting() const { return pipelines(); }
    const TAKKeepaliveHost& keepaliveForTesting() const { return *keepalive_; }
    size_t pendingDestroyCountForTesting() const { return pendingDestroyTasks_.size(); }
    size_t retiredCrossfadeCountForTesting() const { return follower_->retiredStateCount(); }
    // Removals that failed and wait for another try (callbacks, aggregates, taps).
    size_t pendingTeardownCountForTesting() const {
        return teardown_.pendingCount() + keepalive_->leftoverCount();
    }
    // Delivers a default-output notification as the listener would, whether or not it changed.
    void notifyDefaultOutputForTesting();

  private:
    struct PipelinesBox {
        std::map<uint32_t, AppPipeline> map;
    };

    TAKEngine(const Environment& environment, Options options);

    // lifecycle
    void startGated();
    void stopGated();
    void installWorkspaceObservers();
    void removeWorkspaceObservers();

    // reconcile
    void reconcile();
    void admit(const TAKAppGroup& group, pid_t ownPid, double now, bool& endPass);
    // The audible process groups; nothing (and one error line) when the registry cannot be read.
    std::optional<std::vector<TAKAppGroup>> readAppGroups(std::string_view failurePrefix);
    void detectExits(const std::vector<TAKAppGroup>& audible);
    void updateLastAudibleFromRMS();
    void updateKeepalive();

    // pipelines
    void synchronizePipelines();
    void buildPipeline(const TAKTapEntry& entry, const std::string& outputUID, int warmupMs);
    void tearDownPipeline(uint32_t slot);
    void stopAndDestroy(const AppPipeline& pipeline);
    void evict(const TAKTapEntry& victim);
    void destroyAllPipelines();
    // Removes the tap of every active entry; a failure is logged and tried again later.
    void destroyActiveTaps(const TAKTapCatalog& catalog);
    // Between start() and stop(); every entry point reached from a listener, timer or queued
    // follow-up returns at once otherwise.
    bool isRunning() const { return pipelines_ != nullptr; }
    void bumpCatalogGeneration() { catalogGeneration_.fetch_add(1); }

    // Another try at every removal that failed; on every pass and at stop().
    void retryTeardown();
    // Some aggregates died with their device: everything is built again from scratch.
    void performFullRebuild();

    // exits and recovery
    // The health monitor's last resort: pipeline, tap and entry go, and the next pass admits the
    // application again with its saved volume and mute.
    void destructiveRecreate(pid_t pid);
    void performDeferredTeardown(pid_t pid);

    template <typename Fn>
    auto weakly(Fn fn) {
        return [weak = weak_from_this(), fn] {
            if (auto self = weak.lock()) fn(*self);
        };
    }

    const Environment env_;
    TAKVolumeState& volumeState_;
    TAKRMSBuffer& rmsBuffer_;
    TAKSavedVolumes* const savedVolumes_;
    const std::unique_ptr<TAKKeepaliveHost> keepalive_;
    // Outlives stop(): what could not be removed is tried again after a restart too.
    TAKTeardown teardown_;

    // Guards the catalog pointer for readers off the reconcile queue; the catalog has its own lock.
    mutable std::mutex catalogMutex_;
    std::shared_ptr<TAKTapCatalog> catalog_;

    std::unique_ptr<PipelinesBox> pipelines_;
    std::shared_ptr<TAKProcessRegistryWatcher> watcher_;
    std::unique_ptr<TAKTapManager> tapManager_;
    dispatch::TimerPtr audibleTimer_;
    dispatch::TimerPtr reconcileTimer_;
    std::atomic<uint32_t> catalogGeneration_{0};
    const dispatch::QueuePtr queue_;
    // Where the platform runs I/O callbacks on a queue we give it, every host of this engine uses
    // this one: one thread for all applications rather than one idle thread each.
    const dispatch::QueuePtr callbackQueue_;
    std::map<pid_t, dispatch::WorkItemPtr> pendingDestroyTasks_;
    // The output device pipelines are built on, and every move to another one. Made once, so
    // the cross-fade states it keeps for callbacks that could not be removed outlive stop().
    std::shared_ptr<TAKOutputFollower> follower_;
    std::shared_ptr<TAKHealthMonitor> health_;
    system::ObservationToken launchObserver_;
    system::ObservationToken terminateObserver_;
};

}  // namespace tobble::engine
