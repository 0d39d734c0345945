#include "engine/TAKEngine.h"

#include "engine/TAKCrashGuard.h"
#include "engine/TAKEngineConstants.h"
#include "engine/core/Identity.h"
#include "engine/core/TAKCoreAudio.h"
#include "engine/core/TAKLog.h"

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
    return std::shared_ptr<TAKEngine>(new TAKEngine(environment, options));
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
    : env(environment),
      _volumeState(options.volumeState ? *options.volumeState : TAKVolumeState::shared()),
      _rmsBuffer(options.rmsBuffer ? *options.rmsBuffer : TAKRMSBuffer::shared()),
      savedVolumes_(options.savedVolumes),
      _keepalive(std::make_unique<TAKKeepaliveHost>(environment.audio, environment.dispatcher)),
      reconcileQueue(environment.dispatcher.makeSerialQueue(queueLabel("tak.reconcile"),
                                                            dispatch::QoS::UserInitiated)) {}

TAKEngine::~TAKEngine() {
    // Owners stop the engine before dropping it; this only catches a forgotten stop.
    if (_pipelines) stopGated();
}

std::shared_ptr<TAKTapCatalog> TAKEngine::catalog() const {
    std::lock_guard lock(catalogMutex_);
    return _catalog;
}

bool TAKEngine::isStarted() const { return catalog() != nullptr; }

void TAKEngine::start() {
    // The platform layer only offers backends that can tap processes, so there is no version
    // gate to pass here; the gated start runs on the engine's queue so that it never overlaps
    // a timer, listener or watcher callback that is already installed.
    reconcileQueue->sync([this] { startGated(); });
}

void TAKEngine::reconcileNow() {
    reconcileQueue->sync([this] { reconcile(); });
}

void TAKEngine::stop() {
    reconcileQueue->sync([this] { stopGated(); });
}

void TAKEngine::startGated() {
    if (_pipelines) {
        TAKLog::log().info("start: already running");
        return;
    }
    TAKCrashGuard::install(env.audio);
    TAKOrphanedCleanup::destroyOrphans(env.audio);

    {
        std::lock_guard lock(catalogMutex_);
        _catalog = std::make_shared<TAKTapCatalog>();
    }
    _tapManager = std::make_unique<TAKTapManager>(env.audio);
    _pipelines = std::make_unique<PipelinesBox>();

    _watcher = TAKProcessRegistryWatcher::make(env.audio, reconcileQueue,
                                               weakly([](TAKEngine& e) { e.reconcile(); }),
                                               constants::kWatcherDebounceSeconds);
    _watcher->start();

    auto& dispatcher = env.dispatcher;
    _audibleTimer = dispatcher.makeRepeatingTimer(
        reconcileQueue, constants::kAudibleTimerSeconds, constants::kAudibleTimerSeconds,
        weakly([](TAKEngine& e) { e.updateLastAudibleFromRMS(); }));
    _reconcileTimer = dispatcher.makeRepeatingTimer(
        reconcileQueue, constants::kReconcileTimerSeconds, constants::kReconcileTimerSeconds,
        weakly([](TAKEngine& e) { e.reconcile(); }));
    installDefaultOutputListener();
    installDevicesListener();
    installHealthMonitor();
    installWorkspaceObservers();

    reconcile();
    updateKeepalive();
}

void TAKEngine::stopGated() {
    for (auto* timer : {&_audibleTimer, &_reconcileTimer, &_healthMonitorTimer}) {
        if (*timer) (*timer)->cancel();
        timer->reset();
    }
    if (_watcher) _watcher->stop();
    _watcher.reset();

    for (auto& [pid, item] : _pendingDestroyTasks) item->cancel();
    _pendingDestroyTasks.clear();
    _tapConsecutiveMisses.clear();
    _tapRecoveryCooldownUntil.clear();

    removeDefaultOutputListener();
    removeDevicesListener();
    removeWorkspaceObservers();
    _keepalive->stop();

    destroyAllPipelines();
    _pipelines.reset();
    releaseRetiredCrossfadeStates(true);  // every host is stopped by now

    auto currentCatalog = catalog();
    if (currentCatalog && _tapManager) {
        for (const auto& entry : currentCatalog->activeEntries()) {
            if (!entry.tap) continue;
            const OSStatus status = env.audio.destroyProcessTap(entry.tap->tapID);
            if (status != kAudioHardwareNoError) {
                TAKLog::log().error("tap destroy failed status=" + statusText(status) +
                                    " tapID=" + std::to_string(entry.tap->tapID));
            }
        }
    }
    {
        std::lock_guard lock(catalogMutex_);
        _catalog.reset();
    }
    _tapManager.reset();
    realOutputDeviceID = 0;
    realOutputUID.reset();
}

void TAKEngine::installWorkspaceObservers() {
    auto hop = [weak = weak_from_this()](pid_t) {
        if (auto self = weak.lock()) {
            self->reconcileQueue->async([weak] {
                if (auto s = weak.lock()) s->reconcile();
            });
        }
    };
    // The notifications arrive on the main queue; the handler only hops to the engine's queue.
    if (!workspaceLaunchObserver) {
        workspaceLaunchObserver =
            env.applications.observeLaunches(env.dispatcher.mainQueuePtr(), hop);
    }
    if (!workspaceTerminateObserver) {
        workspaceTerminateObserver =
            env.applications.observeTerminations(env.dispatcher.mainQueuePtr(), hop);
    }
}

void TAKEngine::removeWorkspaceObservers() {
    workspaceLaunchObserver.reset();
    workspaceTerminateObserver.reset();
}

std::optional<std::string> TAKEngine::currentOutputUID() {
    if (realOutputUID && realOutputDeviceID != 0) return realOutputUID;
    const TAKCoreAudio core(env.audio);
    AudioObjectID device = 0;
    try {
        device = core.getProperty<AudioObjectID>(kAudioObjectSystemObject,
                                                 kAudioHardwarePropertyDefaultOutputDevice);
    } catch (const TAKError&) {
        return std::nullopt;
    }
    realOutputDeviceID = device;
    realOutputUID = core.getCFStringProperty(device, kAudioDevicePropertyDeviceUID);
    return realOutputUID;
}

void TAKEngine::updateKeepalive() {
    const TAKCoreAudio core(env.audio);
    AudioObjectID device = realOutputDeviceID;
    if (device == 0) {
        try {
            device = core.getProperty<AudioObjectID>(kAudioObjectSystemObject,
                                                     kAudioHardwarePropertyDefaultOutputDevice);
        } catch (const TAKError&) {
            device = 0;
        }
    }
    if (device == 0) {
        _keepalive->stop();
        return;
    }
    uint32_t transport = 0;
    try {
        transport = core.getProperty<uint32_t>(device, kAudioDevicePropertyTransportType);
    } catch (const TAKError&) {
        _keepalive->stop();
        return;
    }
    if (transport != kAudioDeviceTransportTypeBluetooth &&
        transport != kAudioDeviceTransportTypeBluetoothLE) {
        _keepalive->stop();
        return;
    }
    if (_keepalive->isRunning() && _keepalive->deviceID() == device) return;
    _keepalive->stop();
    try {
        _keepalive->start(device);
    } catch (const TAKError& error) {
        TAKLog::log().error("keepalive start failed: " + error.description());
    }
}

std::vector<TAKAggregateLifecycle::PerAppPipeline> TAKEngine::pipelines() const {
    std::vector<TAKAggregateLifecycle::PerAppPipeline> all;
    if (_pipelines) {
        for (const auto& [slot, pipeline] : _pipelines->map) all.push_back(pipeline);
    }
    return all;
}

}  // namespace tobble::engine
