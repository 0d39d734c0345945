#include "engine/TAKEngine.h"

#include <algorithm>

#include "engine/TAKCrashGuard.h"
#include "engine/TAKEngineConstants.h"
#include "engine/core/Identity.h"
#include "engine/core/TAKCoreAudio.h"
#include "engine/core/TAKLog.h"
#include "platform/dispatch/QueueCheck.h"

namespace tobble::engine {

using namespace audio;

namespace {

struct SharedEngine {
    std::mutex mutex;
    std::shared_ptr<TAKEngine> engine;
};

SharedEngine& sharedEngine() {
    static SharedEngine* instance = new SharedEngine();  // lives for the whole process
    return *instance;
}

}  // namespace

std::shared_ptr<TAKEngine> TAKEngine::make(const Environment& environment, Options options) {
    std::shared_ptr<TAKEngine> engine(new TAKEngine(environment, options));
    auto hook = [weak = std::weak_ptr<TAKEngine>(engine)](void (TAKEngine::*member)()) {
        return [weak, member] {
            if (auto self = weak.lock()) (self.get()->*member)();
        };
    };
    engine->follower_ = TAKOutputFollower::make(
        environment, engine->queue_,
        {engine->volumeState_, engine->rmsBuffer_, engine->teardown_, engine->callbackQueue_},
        {.pipelinesChanged = hook(&TAKEngine::bumpCatalogGeneration),
         .outputChanged = hook(&TAKEngine::updateKeepalive),
         .aggregatesDied = hook(&TAKEngine::performFullRebuild),
         .pinnedOutput = [pins = options.outputPins](const std::string& bundleID) {
             return pins ? pins->pinnedOutput(bundleID) : std::nullopt;
         }});
    engine->health_ = TAKHealthMonitor::make(
        environment, engine->queue_, engine->volumeState_, *engine->follower_,
        {.readAppGroups =
             [weak = std::weak_ptr<TAKEngine>(engine)](std::string_view failurePrefix) {
                 auto self = weak.lock();
                 return self ? self->readAppGroups(failurePrefix) : std::nullopt;
             },
         .tearDown =
             [weak = std::weak_ptr<TAKEngine>(engine)](pid_t pid) {
                 if (auto self = weak.lock()) self->destructiveRecreate(pid);
             }});
    return engine;
}

void TAKEngine::configureShared(const Environment& environment, Options options) {
    auto& s = sharedEngine();
    std::lock_guard lock(s.mutex);
    if (!s.engine) s.engine = make(environment, options);
}

TAKEngine& TAKEngine::shared() {
    auto& s = sharedEngine();
    std::lock_guard lock(s.mutex);
    if (!s.engine) {
        TAKLog::log().error("TAKEngine::shared() used before configureShared()");
        std::abort();
    }
    return *s.engine;
}

bool TAKEngine::hasShared() {
    auto& s = sharedEngine();
    std::lock_guard lock(s.mutex);
    return s.engine != nullptr;
}

TAKEngine::TAKEngine(const Environment& environment, Options options)
    : env_(environment),
      volumeState_(options.volumeState ? *options.volumeState : TAKVolumeState::shared()),
      rmsBuffer_(options.rmsBuffer ? *options.rmsBuffer : TAKRMSBuffer::shared()),
      savedVolumes_(options.savedVolumes),
      keepalive_(std::make_unique<TAKKeepaliveHost>(environment.audio, environment.dispatcher)),
      teardown_(environment.audio),
      queue_(environment.dispatcher.makeSerialQueue(queueLabel("tak.reconcile"),
                                                    dispatch::QoS::UserInitiated)),
      callbackQueue_(environment.dispatcher.makeSerialQueue(queueLabel("tak.ioproc"),
                                                            dispatch::QoS::UserInteractive)) {}

TAKEngine::~TAKEngine() {
    // Owners stop the engine before dropping it; this only catches a forgotten stop.
    if (pipelines_) queue_->sync([this] { stopGated(); });
}

std::shared_ptr<TAKTapCatalog> TAKEngine::catalog() const {
    std::lock_guard lock(catalogMutex_);
    return catalog_;
}

bool TAKEngine::isStarted() const { return catalog() != nullptr; }

void TAKEngine::start() {
    // The platform layer only offers backends that can tap processes, so there is no version
    // gate to pass here; the gated start runs on the engine's queue so that it never overlaps
    // a timer, listener or watcher callback that is already installed.
    queue_->sync([this] { startGated(); });
}

void TAKEngine::reconcileNow() {
    queue_->sync([this] { reconcile(); });
}

void TAKEngine::outputPinsChanged() {
    queue_->async(weakly([](TAKEngine& e) {
        if (e.isRunning()) e.follower_->moveStrayPipelines("output pins changed");
    }));
}

void TAKEngine::stop() {
    queue_->sync([this] { stopGated(); });
}

void TAKEngine::startGated() {
    dispatch::assertOnQueue(queue_);
    if (pipelines_) {
        TAKLog::log().info("start: already running");
        return;
    }
    TAKCrashGuard::install(env_.audio);
    TAKOrphanedCleanup::destroyOrphans(env_.audio);

    {
        std::lock_guard lock(catalogMutex_);
        catalog_ = std::make_shared<TAKTapCatalog>();
    }
    tapManager_ = std::make_unique<TAKTapManager>(env_.audio);
    pipelines_ = std::make_unique<PipelinesBox>();

    watcher_ = TAKProcessRegistryWatcher::make(env_.audio, queue_,
                                               weakly([](TAKEngine& e) { e.reconcile(); }),
                                               constants::kWatcherDebounceSeconds);
    watcher_->start();

    auto& dispatcher = env_.dispatcher;
    audibleTimer_ = dispatcher.makeRepeatingTimer(
        queue_, constants::kAudibleTimerSeconds, constants::kAudibleTimerSeconds,
        weakly([](TAKEngine& e) { e.updateLastAudibleFromRMS(); }));
    reconcileTimer_ = dispatcher.makeRepeatingTimer(queue_, constants::kReconcileTimerSeconds,
                                                    constants::kReconcileTimerSeconds,
                                                    weakly([](TAKEngine& e) { e.reconcile(); }));
    follower_->start(catalog_, pipelines_->map);
    health_->start(catalog_, pipelines_->map);
    installWorkspaceObservers();

    reconcile();
    updateKeepalive();
}

void TAKEngine::stopGated() {
    dispatch::assertOnQueue(queue_);
    for (auto* timer : {&audibleTimer_, &reconcileTimer_}) {
        if (*timer) (*timer)->cancel();
        timer->reset();
    }
    if (watcher_) watcher_->stop();
    watcher_.reset();

    for (auto& [pid, item] : pendingDestroyTasks_) item->cancel();
    pendingDestroyTasks_.clear();
    health_->stop();

    follower_->stop();
    removeWorkspaceObservers();
    keepalive_->stop();

    destroyAllPipelines();
    pipelines_.reset();
    auto currentCatalog = catalog();
    if (currentCatalog && tapManager_) destroyActiveTaps(*currentCatalog);
    // A removal that failed a moment ago may well go now; what still fails is kept for the next
    // start's passes.
    for (int attempt = 0; attempt < constants::kStopRemovalAttempts; ++attempt) retryTeardown();
    if (!teardown_.empty()) {
        TAKLog::log().error("stop: " + std::to_string(teardown_.pendingCount()) +
                            " removals still failing — kept for another try");
    }
    {
        std::lock_guard lock(catalogMutex_);
        catalog_.reset();
    }
    tapManager_.reset();
    // The pipelines are gone: readers of the client list see the change like any other.
    bumpCatalogGeneration();
}

void TAKEngine::installWorkspaceObservers() {
    dispatch::assertOnQueue(queue_);
    auto hop = [weak = weak_from_this()](pid_t) {
        if (auto self = weak.lock()) {
            self->queue_->async([weak] {
                if (auto s = weak.lock()) s->reconcile();
            });
        }
    };
    // The notifications arrive on the main queue; the handler only hops to the engine's queue.
    if (!launchObserver_) {
        launchObserver_ = env_.applications.observeLaunches(env_.dispatcher.mainQueuePtr(), hop);
    }
    if (!terminateObserver_) {
        terminateObserver_ =
            env_.applications.observeTerminations(env_.dispatcher.mainQueuePtr(), hop);
    }
}

void TAKEngine::removeWorkspaceObservers() {
    launchObserver_.reset();
    terminateObserver_.reset();
}

void TAKEngine::updateKeepalive() {
    dispatch::assertOnQueue(queue_);
    if (!isRunning()) return;  // stop() has stopped the keep-alive for good
    const TAKCoreAudio core(env_.audio);
    // The followed output first; else a Bluetooth device an application was sent to, which
    // falls asleep between that application's sounds just the same.
    std::vector<AudioObjectID> candidates{follower_->outputDeviceID() != 0
                                              ? follower_->outputDeviceID()
                                              : core.defaultOutputDevice().value_or(0)};
    for (const auto& [slot, pipeline] : pipelines_->map) {
        if (auto device = core.deviceID(pipeline.aggregate.outputUID))
            candidates.push_back(*device);
    }
    const auto bluetooth = std::find_if(candidates.begin(), candidates.end(), [&](AudioObjectID d) {
        return d != 0 && core.isBluetooth(d);
    });
    if (bluetooth == candidates.end()) {
        keepalive_->stop();
        return;
    }
    const AudioObjectID device = *bluetooth;
    if (keepalive_->isRunning() && keepalive_->deviceID() == device) return;
    keepalive_->stop();
    try {
        keepalive_->start(device);
    } catch (const TAKError& error) {
        TAKLog::log().error("keepalive start failed: " + error.description());
    }
}

void TAKEngine::notifyDefaultOutputForTesting() {
    queue_->async([follower = std::weak_ptr<TAKOutputFollower>(follower_)] {
        if (auto f = follower.lock()) f->handleDefaultOutputChanged();
    });
}

std::vector<AppPipeline> TAKEngine::pipelines() const {
    std::vector<AppPipeline> all;
    if (pipelines_) {
        for (const auto& [slot, pipeline] : pipelines_->map) all.push_back(pipeline);
    }
    return all;
}

}  // namespace tobble::engine
