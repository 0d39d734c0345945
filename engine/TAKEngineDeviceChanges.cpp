// Following the default output device without a gap: every pipeline gets a secondary on the new
// device, the two are cross-faded by their I/O callbacks, then the primary goes away.
#include <cmath>

#include "engine/TAKEngine.h"
#include "engine/TAKEngineConstants.h"
#include "engine/core/TAKCoreAudio.h"
#include "engine/core/TAKLog.h"

namespace tobble::engine {

using namespace audio;

namespace {
constexpr PropertyAddress kDefaultOutputAddress{kAudioHardwarePropertyDefaultOutputDevice};
constexpr PropertyAddress kDevicesAddress{kAudioHardwarePropertyDevices};

double rateOf(const TAKTap& tap) {
    return tap.format.mSampleRate > 0 ? tap.format.mSampleRate : constants::kFallbackSampleRate;
}
}  // namespace

struct TAKEngine::CrossfadePair {
    uint32_t slot = 0;
    pid_t pid = 0;
    TAKTap oldTap;
    TAKAggregateLifecycle::PerAppPipeline oldPipe;
    TAKTap newTap;
    TAKAggregateLifecycle::PerAppPipeline newPipe;
    std::unique_ptr<TAKCrossfadeState> state;
    double sampleRate = constants::kFallbackSampleRate;
};

// ---- listeners

void TAKEngine::installDefaultOutputListener() {
    if (defaultOutputListenerBlock) return;
    auto block = makeListenerBlock(
        [weak = weak_from_this()](AudioObjectID, std::span<const PropertyAddress>) {
            if (auto self = weak.lock()) self->handleDefaultOutputChanged();
        });
    const OSStatus status = env.audio.addPropertyListener(
        kAudioObjectSystemObject, kDefaultOutputAddress, reconcileQueue, block);
    if (status != kAudioHardwareNoError) {
        TAKLog::log().error("default-output listener install failed status=" +
                            std::to_string(status));
        return;
    }
    defaultOutputListenerBlock = std::move(block);
}

void TAKEngine::removeDefaultOutputListener() {
    if (!defaultOutputListenerBlock) return;
    env.audio.removePropertyListener(kAudioObjectSystemObject, kDefaultOutputAddress,
                                     reconcileQueue, defaultOutputListenerBlock);
    defaultOutputListenerBlock.reset();
}

void TAKEngine::installDevicesListener() {
    if (devicesListenerBlock) return;
    auto block = makeListenerBlock(
        [weak = weak_from_this()](AudioObjectID, std::span<const PropertyAddress>) {
            if (auto self = weak.lock()) self->scheduleDevicesListCheck();
        });
    const OSStatus status = env.audio.addPropertyListener(kAudioObjectSystemObject, kDevicesAddress,
                                                          reconcileQueue, block);
    if (status != kAudioHardwareNoError) {
        TAKLog::log().error("devices listener install failed status=" + std::to_string(status));
        return;
    }
    devicesListenerBlock = std::move(block);
}

void TAKEngine::removeDevicesListener() {
    if (devicesDebounceWork) devicesDebounceWork->cancel();
    devicesDebounceWork.reset();
    if (!devicesListenerBlock) return;
    env.audio.removePropertyListener(kAudioObjectSystemObject, kDevicesAddress, reconcileQueue,
                                     devicesListenerBlock);
    devicesListenerBlock.reset();
}

// ---- default output

void TAKEngine::notifyDefaultOutputForTesting() {
    reconcileQueue->async(weakly([](TAKEngine& e) { e.handleDefaultOutputChanged(); }));
}

void TAKEngine::handleDefaultOutputChanged() {
    const TAKCoreAudio core(env.audio);
    AudioObjectID device = 0;
    std::optional<std::string> uid;
    try {
        device = core.getProperty<AudioObjectID>(kAudioObjectSystemObject,
                                                 kAudioHardwarePropertyDefaultOutputDevice);
    } catch (const TAKError&) {
        device = 0;
    }
    if (device != 0) uid = core.getCFStringProperty(device, kAudioDevicePropertyDeviceUID);
    if (device == 0 || !uid) {
        TAKLog::log().error(
            "default-output changed but no UID available — leaving pipelines intact");
        return;
    }
    if (device == realOutputDeviceID) return;
    if (isSwitching) {
        TAKLog::log().info(
            "default-output changed mid-rebuild — ignoring, current pass will re-check");
        return;
    }
    TAKLog::log().info("default-output changed to id=" + std::to_string(device) + " uid=" + *uid +
                       " — overlap rebuild");
    realOutputDeviceID = device;
    realOutputUID = uid;
    overlapRebuild(*uid, device);
    updateKeepalive();
}

void TAKEngine::overlapRebuild(const std::string& outputUID, AudioObjectID destinationDeviceID) {
    auto currentCatalog = catalog();
    if (!currentCatalog) return;
    std::vector<uint32_t> slots;
    for (const auto& entry : currentCatalog->activeEntries()) {
        if (entry.tap) slots.push_back(entry.slot);
    }
    if (slots.empty()) {
        TAKLog::log().info("overlap rebuild: no active slots to migrate to " + outputUID);
        return;
    }
    performCrossfadeRebuild(slots, outputUID, destinationDeviceID);

    AudioObjectID now = 0;
    try {
        now = TAKCoreAudio(env.audio).getProperty<AudioObjectID>(
            kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
    } catch (const TAKError&) {
        return;
    }
    if (now == destinationDeviceID) return;
    TAKLog::log().info("default moved again during rebuild (now id=" + std::to_string(now) +
                       ") — scheduling follow-up");
    reconcileQueue->async(weakly([](TAKEngine& e) { e.handleDefaultOutputChanged(); }));
}

// ---- cross-fade machinery

bool TAKEngine::isBluetooth(AudioObjectID device) const {
    try {
        const auto transport = TAKCoreAudio(env.audio).getProperty<uint32_t>(
            device, kAudioDevicePropertyTransportType);
        return transport == kAudioDeviceTransportTypeBluetooth ||
               transport == kAudioDeviceTransportTypeBluetoothLE;
    } catch (const TAKError&) {
        return false;
    }
}

TAKAggregateLifecycle::PerAppPipeline TAKEngine::buildSecondary(uint32_t slot, pid_t pid,
                                                                const TAKTap& newTap,
                                                                const std::string& outputUID,
                                                                TAKCrossfadeState& state) {
    const TAKAggregateBuilder builder(env.audio);
    const auto aggregate = builder.build(newTap.uid, outputUID);
    auto host =
        std::make_shared<TAKIOProcHost>(slot, _volumeState, _rmsBuffer, env.audio, env.dispatcher);
    int64_t warmup = constants::kSecondaryWarmupFallbackFrames;
    if (newTap.format.mSampleRate > 0) {
        warmup =
            static_cast<int64_t>(constants::kSecondaryWarmupSeconds * newTap.format.mSampleRate);
    }
    host->setWarmupFramesRemaining(std::max<int64_t>(warmup, 0));
    try {
        host->start(aggregate.aggregateID);
    } catch (const TAKError&) {
        builder.destroy(aggregate);
        throw;
    }
    // The secondary's warm-up outlasts the moment between its start and this attach, so it
    // never plays a cycle at full gain outside the fade.
    host->attachCrossfade(state, TAKIOProcHost::Role::secondary);
    return TAKAggregateLifecycle::PerAppPipeline{slot, pid, newTap.uid, aggregate, host};
}

void TAKEngine::waitForSecondaries(const std::vector<TAKCrossfadeState*>& states,
                                   bool bluetoothTarget) {
    auto& clock = env.dispatcher.clock();
    const double limit =
        bluetoothTarget ? constants::kBluetoothSettleLimitSeconds : constants::kSettleLimitSeconds;
    const double start = clock.monotonicSeconds();
    while (clock.monotonicSeconds() - start < limit) {
        bool allReady = true;
        for (auto* state : states) {
            if (state->secondarySamplesProcessed() <= constants::kSecondaryReadyFrames)
                allReady = false;
        }
        if (allReady) return;
        clock.sleepFor(constants::kPollSeconds);
    }
}

void TAKEngine::fadeAndWait(
    const std::vector<std::pair<TAKCrossfadeState*, double>>& statesAndRates) {
    for (const auto& [state, rate] : statesAndRates) {
        state->startFading(
            std::max<int64_t>(1, static_cast<int64_t>(rate * constants::kFadeSeconds)));
    }
    auto& clock = env.dispatcher.clock();
    const double start = clock.monotonicSeconds();
    while (clock.monotonicSeconds() - start < constants::kFadeLimitSeconds) {
        bool allDone = true;
        for (const auto& [state, rate] : statesAndRates) {
            if (state->progress() < 1.0f) allDone = false;
        }
        if (allDone) return;
        clock.sleepFor(constants::kPollSeconds);
    }
}

// How a cross-fade state stays valid for the real-time callbacks without locks or reference
// counts: a host's callback reaches the state through a plain atomic pointer (see
// IOProcRenderer::crossfadeState) and never owns it. The engine owns every state in a
// unique_ptr and frees it only when no callback can read it any more:
//   - a host whose callback has been removed (stop() returns only after its last cycle) no
//     longer reads anything;
//   - a host that keeps running after detachCrossfade() may still be inside a cycle that loaded
//     the old pointer; the state is parked here with the cycle mark that detach returned and
//     freed once the host has started a later cycle (hasRenderedSince) or has been stopped.
void TAKEngine::retireCrossfadeState(std::unique_ptr<TAKCrossfadeState> state,
                                     std::shared_ptr<TAKIOProcHost> host, uint64_t mark) {
    retiredCrossfades_.push_back(RetiredCrossfade{std::move(state), std::move(host), mark});
}

void TAKEngine::releaseRetiredCrossfadeStates(bool all) {
    std::erase_if(retiredCrossfades_, [all](const RetiredCrossfade& r) {
        return all || !r.host->isRunning() || r.host->hasRenderedSince(r.mark);
    });
}

void TAKEngine::performCrossfadeRebuild(const std::vector<uint32_t>& slots,
                                        const std::string& toOutputUID,
                                        AudioObjectID destinationDeviceID) {
    auto currentCatalog = catalog();
    if (!currentCatalog || !_tapManager || !_pipelines) return;
    isSwitching = true;
    releaseRetiredCrossfadeStates(false);

    std::vector<CrossfadePair> pairs;
    for (uint32_t slot : slots) {
        auto pipeIt = _pipelines->map.find(slot);
        if (pipeIt == _pipelines->map.end()) continue;
        const auto entry = currentCatalog->entry(pipeIt->second.pid);
        if (!entry || !entry->tap) continue;
        const auto oldPipe = pipeIt->second;

        TAKTap newTap;
        try {
            newTap = _tapManager->createTap(entry->pid, entry->tap->processObjectIDs, toOutputUID);
        } catch (const TAKError& error) {
            TAKLog::log().error("crossfade: createTap failed for slot=" + std::to_string(slot) +
                                ": " + error.description() + " — keeping primary");
            continue;
        }
        auto state = std::make_unique<TAKCrossfadeState>();
        state->beginPreparing();
        oldPipe.ioProc->attachCrossfade(*state, TAKIOProcHost::Role::primary);
        try {
            auto newPipe = buildSecondary(slot, entry->pid, newTap, toOutputUID, *state);
            pairs.push_back(CrossfadePair{slot, entry->pid, *entry->tap, oldPipe, newTap,
                                          std::move(newPipe), std::move(state), rateOf(newTap)});
        } catch (const TAKError& error) {
            TAKLog::log().error("crossfade: buildOne failed for slot=" + std::to_string(slot) +
                                ": " + error.description() +
                                " — destroying new tap, keeping primary");
            _tapManager->destroy(newTap);
            const uint64_t mark = oldPipe.ioProc->detachCrossfade();
            retireCrossfadeState(std::move(state), oldPipe.ioProc, mark);
        }
    }
    if (pairs.empty()) {
        TAKLog::log().info("crossfade: no secondaries built; nothing to do");
        isSwitching = false;
        return;
    }

    std::vector<TAKCrossfadeState*> states;
    std::vector<std::pair<TAKCrossfadeState*, double>> fades;
    for (auto& pair : pairs) {
        states.push_back(pair.state.get());
        fades.emplace_back(pair.state.get(), pair.sampleRate);
    }
    waitForSecondaries(states, isBluetooth(destinationDeviceID));
    fadeAndWait(fades);

    for (auto& pair : pairs) {
        pair.oldPipe.ioProc->stop();
        TAKAggregateBuilder(env.audio).destroy(pair.oldPipe.aggregate);
        const OSStatus status = env.audio.destroyProcessTap(pair.oldTap.tapID);
        if (status != kAudioHardwareNoError) {
            TAKLog::log().error("tap destroy failed status=" + statusText(status) +
                                " tapID=" + std::to_string(pair.oldTap.tapID));
        }
        if (currentCatalog->entry(pair.pid)) currentCatalog->markActive(pair.pid, pair.newTap);
        _pipelines->map[pair.slot] = pair.newPipe;
        pair.state->finish();
        const uint64_t mark = pair.newPipe.ioProc->detachCrossfade();
        retireCrossfadeState(std::move(pair.state), pair.newPipe.ioProc, mark);
        bumpCatalogGeneration();
    }
    TAKLog::log().info("crossfade complete: " + std::to_string(pairs.size()) + "/" +
                       std::to_string(slots.size()) + " slots migrated to " + toOutputUID);
    isSwitching = false;
}

void TAKEngine::rebuildSlotWithObjectIDs(uint32_t slot, pid_t parentPID,
                                         const std::set<AudioObjectID>& objectIDs) {
    auto currentCatalog = catalog();
    if (!currentCatalog || !_tapManager || !_pipelines) return;
    const auto entry = currentCatalog->entry(parentPID);
    auto pipeIt = _pipelines->map.find(slot);
    if (!entry || entry->slot != slot || pipeIt == _pipelines->map.end() || !entry->tap) return;
    const auto outputUID = currentOutputUID();
    if (!outputUID) {
        TAKLog::log().error("rebuildSlotWithObjectIDs: no default output parentPID=" +
                            std::to_string(parentPID));
        return;
    }
    if (isSwitching) {
        TAKLog::log().info("rebuildSlotWithObjectIDs: rebuild already in flight — skip parentPID=" +
                           std::to_string(parentPID));
        return;
    }
    isSwitching = true;
    releaseRetiredCrossfadeStates(false);
    const auto oldPipe = pipeIt->second;

    TAKTap newTap;
    try {
        newTap = _tapManager->createTap(parentPID, objectIDs, outputUID);
    } catch (const TAKError& error) {
        TAKLog::log().error("rebuildSlotWithObjectIDs: createTap failed parentPID=" +
                            std::to_string(parentPID) + ": " + error.description());
        isSwitching = false;
        return;
    }
    auto state = std::make_unique<TAKCrossfadeState>();
    state->beginPreparing();
    oldPipe.ioProc->attachCrossfade(*state, TAKIOProcHost::Role::primary);
    TAKAggregateLifecycle::PerAppPipeline newPipe;
    try {
        newPipe = buildSecondary(slot, parentPID, newTap, *outputUID, *state);
    } catch (const TAKError& error) {
        TAKLog::log().error(
            "rebuildSlotWithObjectIDs: buildOne failed parentPID=" + std::to_string(parentPID) +
            ": " + error.description() + " — destroying new tap");
        _tapManager->destroy(newTap);
        const uint64_t mark = oldPipe.ioProc->detachCrossfade();
        retireCrossfadeState(std::move(state), oldPipe.ioProc, mark);
        isSwitching = false;
        return;
    }

    AudioObjectID device = 0;
    try {
        device = TAKCoreAudio(env.audio).getProperty<AudioObjectID>(
            kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
    } catch (const TAKError&) {
        device = 0;
    }
    waitForSecondaries({state.get()}, device != 0 && isBluetooth(device));
    fadeAndWait({{state.get(), rateOf(newTap)}});

    oldPipe.ioProc->stop();
    TAKAggregateBuilder(env.audio).destroy(oldPipe.aggregate);
    _tapManager->destroy(*entry->tap);
    currentCatalog->markActive(parentPID, newTap);
    _pipelines->map[slot] = newPipe;
    state->finish();
    const uint64_t mark = newPipe.ioProc->detachCrossfade();
    retireCrossfadeState(std::move(state), newPipe.ioProc, mark);
    bumpCatalogGeneration();
    TAKLog::log().info("rebuildSlotWithObjectIDs: ok parentPID=" + std::to_string(parentPID) +
                       " slot=" + std::to_string(slot) + " n=" + std::to_string(objectIDs.size()));
    isSwitching = false;
}

// ---- device list

void TAKEngine::scheduleDevicesListCheck() {
    if (devicesDebounceWork) devicesDebounceWork->cancel();
    devicesDebounceWork = std::make_shared<dispatch::WorkItem>(
        weakly([](TAKEngine& e) { e.handleDevicesListChanged(); }));
    reconcileQueue->asyncAfter(constants::kDevicesListDebounceSeconds, devicesDebounceWork);
}

void TAKEngine::handleDevicesListChanged() {
    if (!_pipelines) return;
    size_t dead = 0;
    for (const auto& [slot, pipeline] : _pipelines->map) {
        uint32_t size = 0;
        if (env.audio.getPropertyDataSize(pipeline.aggregate.aggregateID,
                                          {kAudioObjectPropertyClass},
                                          size) != kAudioHardwareNoError) {
            ++dead;
        }
    }
    if (dead == 0) return;
    TAKLog::log().info("devices-list change: " + std::to_string(dead) + "/" +
                       std::to_string(_pipelines->map.size()) + " aggregates dead — full rebuild");
    performFullRebuild();
}

void TAKEngine::performFullRebuild() {
    auto currentCatalog = catalog();
    if (!currentCatalog || !_tapManager) return;
    destroyAllPipelines();
    releaseRetiredCrossfadeStates(true);
    for (const auto& entry : currentCatalog->activeEntries()) {
        if (!entry.tap) continue;
        const OSStatus status = env.audio.destroyProcessTap(entry.tap->tapID);
        if (status != kAudioHardwareNoError) {
            TAKLog::log().error("tap destroy failed status=" + statusText(status) +
                                " tapID=" + std::to_string(entry.tap->tapID));
        }
    }
    for (const auto& entry : currentCatalog->allEntries()) currentCatalog->free(entry.pid);
    for (auto& [pid, item] : _pendingDestroyTasks) item->cancel();
    _pendingDestroyTasks.clear();
    _tapConsecutiveMisses.clear();
    _tapRecoveryCooldownUntil.clear();
    realOutputDeviceID = 0;
    realOutputUID.reset();
    reconcile();
}

}  // namespace tobble::engine
