#include "engine/TAKOutputFollower.h"

#include <algorithm>
#include <cmath>

#include "engine/TAKEngineConstants.h"
#include "engine/core/TAKCoreAudio.h"
#include "engine/core/TAKLog.h"
#include "platform/dispatch/QueueCheck.h"

namespace tobble::engine {

using namespace audio;

namespace {
constexpr PropertyAddress kDefaultOutputAddress{kAudioHardwarePropertyDefaultOutputDevice};
constexpr PropertyAddress kDevicesAddress{kAudioHardwarePropertyDevices};

double rateOf(const TAKTap& tap) {
    return tap.format.mSampleRate > 0 ? tap.format.mSampleRate : constants::kFallbackSampleRate;
}

// Marks a rebuild as in flight for as long as it runs, whichever way it ends.
class SwitchingScope {
  public:
    explicit SwitchingScope(bool& flag) : flag_(flag), previous_(flag) { flag_ = true; }
    ~SwitchingScope() { flag_ = previous_; }
    SwitchingScope(const SwitchingScope&) = delete;
    SwitchingScope& operator=(const SwitchingScope&) = delete;

  private:
    bool& flag_;
    const bool previous_;
};
}  // namespace

struct TAKOutputFollower::CrossfadePair {
    uint32_t slot = 0;
    pid_t pid = 0;
    TAKTap oldTap;
    AppPipeline oldPipe;
    TAKTap newTap;
    AppPipeline newPipe;
    std::unique_ptr<TAKCrossfadeState> state;
    double sampleRate = constants::kFallbackSampleRate;
};

TAKOutputFollower::TAKOutputFollower(const Environment& environment, dispatch::QueuePtr queue,
                                     Tables tables, Engine engine)
    : env_(environment),
      queue_(std::move(queue)),
      tables_(std::move(tables)),
      engine_(std::move(engine)),
      tapManager_(environment.audio) {}

std::shared_ptr<TAKOutputFollower> TAKOutputFollower::make(const Environment& environment,
                                                           dispatch::QueuePtr queue, Tables tables,
                                                           Engine engine) {
    return std::shared_ptr<TAKOutputFollower>(
        new TAKOutputFollower(environment, std::move(queue), std::move(tables), std::move(engine)));
}

TAKOutputFollower::~TAKOutputFollower() {
    for (auto& retired : retired_) {
        for (const auto& user : retired.users) {
            if (user.host->isInstalled()) (void)retired.state.release();
        }
    }
}

void TAKOutputFollower::start(std::shared_ptr<TAKTapCatalog> catalog,
                              std::map<uint32_t, AppPipeline>& pipelines) {
    dispatch::assertOnQueue(queue_);
    catalog_ = std::move(catalog);
    pipelines_ = &pipelines;
    installListeners();
}

void TAKOutputFollower::stop() {
    dispatch::assertOnQueue(queue_);
    removeListeners();
    catalog_.reset();
    pipelines_ = nullptr;
    forgetOutput();
}

// ---- listeners

void TAKOutputFollower::installListeners() {
    if (!defaultOutputListener_) {
        auto block = makeListenerBlock(
            [weak = weak_from_this()](AudioObjectID, std::span<const PropertyAddress>) {
                if (auto self = weak.lock()) self->handleDefaultOutputChanged();
            });
        const OSStatus status = env_.audio.addPropertyListener(
            kAudioObjectSystemObject, kDefaultOutputAddress, queue_, block);
        if (status != kAudioHardwareNoError) {
            TAKLog::log().error("default-output listener install failed status=" +
                                std::to_string(status));
        } else {
            defaultOutputListener_ = std::move(block);
        }
    }
    if (!devicesListener_) {
        auto block = makeListenerBlock(
            [weak = weak_from_this()](AudioObjectID, std::span<const PropertyAddress>) {
                if (auto self = weak.lock()) self->scheduleDevicesListCheck();
            });
        const OSStatus status = env_.audio.addPropertyListener(kAudioObjectSystemObject,
                                                               kDevicesAddress, queue_, block);
        if (status != kAudioHardwareNoError) {
            TAKLog::log().error("devices listener install failed status=" + std::to_string(status));
        } else {
            devicesListener_ = std::move(block);
        }
    }
}

void TAKOutputFollower::removeListeners() {
    if (defaultOutputListener_) {
        env_.audio.removePropertyListener(kAudioObjectSystemObject, kDefaultOutputAddress, queue_,
                                          defaultOutputListener_);
        defaultOutputListener_.reset();
    }
    if (devicesDebounceWork_) devicesDebounceWork_->cancel();
    devicesDebounceWork_.reset();
    if (devicesListener_) {
        env_.audio.removePropertyListener(kAudioObjectSystemObject, kDevicesAddress, queue_,
                                          devicesListener_);
        devicesListener_.reset();
    }
}

// ---- the followed output

std::optional<std::string> TAKOutputFollower::outputUID() {
    dispatch::assertOnQueue(queue_);
    if (outputUID_ && outputDeviceID_ != 0) return outputUID_;
    const TAKCoreAudio core(env_.audio);
    const auto device = core.defaultOutputDevice();
    if (!device) return std::nullopt;
    outputDeviceID_ = *device;
    outputUID_ = core.getStringProperty(*device, kAudioDevicePropertyDeviceUID);
    return outputUID_;
}

void TAKOutputFollower::forgetOutput() {
    outputDeviceID_ = 0;
    outputUID_.reset();
}

std::optional<std::string> TAKOutputFollower::outputFor(const TAKTapEntry& entry) {
    dispatch::assertOnQueue(queue_);
    if (engine_.pinnedOutput && entry.bundleID && !entry.bundleID->empty()) {
        const auto pinned = engine_.pinnedOutput(*entry.bundleID);
        if (pinned && TAKCoreAudio(env_.audio).deviceID(*pinned)) return pinned;
    }
    return outputUID();
}

bool TAKOutputFollower::isPinned(const TAKTapEntry& entry) const {
    return engine_.pinnedOutput && entry.bundleID && !entry.bundleID->empty() &&
           engine_.pinnedOutput(*entry.bundleID).has_value();
}

std::map<std::string, std::vector<uint32_t>> TAKOutputFollower::strayPipelines(bool pinnedOnly) {
    std::map<std::string, std::vector<uint32_t>> strays;
    if (!catalog_ || !pipelines_) return strays;
    for (const auto& entry : catalog_->activeEntries()) {
        const auto it = pipelines_->find(entry.slot);
        if (it == pipelines_->end() || !entry.tap || (pinnedOnly && !isPinned(entry))) continue;
        const auto target = outputFor(entry);
        if (target && it->second.aggregate.outputUID != *target)
            strays[*target].push_back(entry.slot);
    }
    return strays;
}

bool TAKOutputFollower::moveStrayPipelines(const std::string& reason, bool pinnedOnly) {
    dispatch::assertOnQueue(queue_);
    if (!isRunning() || isSwitching_) return false;
    const auto strays = strayPipelines(pinnedOnly);
    for (const auto& [uid, slots] : strays) {
        const auto device = TAKCoreAudio(env_.audio).deviceID(uid);
        if (!device) continue;
        TAKLog::log().info(reason + ": " + std::to_string(slots.size()) +
                           " stale slot(s) — batch crossfade to " + uid);
        migrate(slots, uid, *device);
    }
    // The devices played on changed: the keep-alive may have another one to keep awake.
    if (!strays.empty()) engine_.outputChanged();
    return !strays.empty();
}

// ---- default output

void TAKOutputFollower::handleDefaultOutputChanged() {
    dispatch::assertOnQueue(queue_);
    // A listener call or a queued follow-up may arrive after stop(): a stopped engine keeps no
    // device, so the next start reads the current one.
    if (!isRunning()) return;
    const TAKCoreAudio core(env_.audio);
    const AudioObjectID device = core.defaultOutputDevice().value_or(0);
    std::optional<std::string> uid;
    if (device != 0) uid = core.getStringProperty(device, kAudioDevicePropertyDeviceUID);
    if (device == 0 || !uid) {
        TAKLog::log().error(
            "default-output changed but no UID available — leaving pipelines intact");
        return;
    }
    if (device == outputDeviceID_) return;
    if (isSwitching_) {
        TAKLog::log().info(
            "default-output changed mid-rebuild — ignoring, current pass will re-check");
        return;
    }
    TAKLog::log().info("default-output changed to id=" + std::to_string(device) + " uid=" + *uid +
                       " — overlap rebuild");
    outputDeviceID_ = device;
    outputUID_ = uid;
    overlapRebuild(*uid, device);
    engine_.outputChanged();
}

void TAKOutputFollower::overlapRebuild(const std::string& outputUID,
                                       AudioObjectID destinationDeviceID) {
    dispatch::assertOnQueue(queue_);
    auto currentCatalog = catalog_;
    if (!currentCatalog) return;
    // Applications the user sent to a device of their own stay there.
    const auto strays = strayPipelines();
    const auto following = strays.find(outputUID);
    const std::vector<uint32_t> slots =
        following == strays.end() ? std::vector<uint32_t>{} : following->second;
    if (slots.empty()) {
        TAKLog::log().info("overlap rebuild: no active slots to migrate to " + outputUID);
        return;
    }
    migrate(slots, outputUID, destinationDeviceID);

    const auto current = TAKCoreAudio(env_.audio).defaultOutputDevice();
    if (!current || *current == destinationDeviceID) return;
    const AudioObjectID now = *current;
    TAKLog::log().info("default moved again during rebuild (now id=" + std::to_string(now) +
                       ") — scheduling follow-up");
    queue_->async(weakly([](TAKOutputFollower& f) { f.handleDefaultOutputChanged(); }));
}

// ---- cross-fade machinery

bool TAKOutputFollower::isBluetooth(AudioObjectID device) const {
    return TAKCoreAudio(env_.audio).isBluetooth(device);
}

AppPipeline TAKOutputFollower::buildSecondary(uint32_t slot, pid_t pid, const TAKTap& newTap,
                                              const std::string& outputUID,
                                              TAKCrossfadeState& state) {
    dispatch::assertOnQueue(queue_);
    const TAKAggregateBuilder builder(env_.audio);
    const auto aggregate = builder.build(newTap.uid, outputUID);
    auto host =
        std::make_shared<TAKIOProcHost>(slot, tables_.volumeState, tables_.rmsBuffer, env_.audio,
                                        env_.dispatcher.clock(), tables_.callbackQueue);
    int64_t warmup = constants::kSecondaryWarmupFallbackFrames;
    if (newTap.format.mSampleRate > 0) {
        warmup =
            static_cast<int64_t>(constants::kSecondaryWarmupSeconds * newTap.format.mSampleRate);
    }
    host->setWarmupFramesRemaining(std::max<int64_t>(warmup, 0));
    try {
        host->start(aggregate.aggregateID);
    } catch (const TAKError&) {
        tables_.teardown.removePipeline(host, aggregate);
        throw;
    }
    // The secondary's warm-up outlasts the moment between its start and this attach, so it
    // never plays a cycle at full gain outside the fade.
    host->attachCrossfade(state, TAKIOProcHost::Role::secondary);
    return AppPipeline{slot, pid, newTap.uid, aggregate, host};
}

void TAKOutputFollower::waitForSecondaries(const std::vector<TAKCrossfadeState*>& states,
                                           bool bluetoothTarget) {
    dispatch::assertOnQueue(queue_);
    auto& clock = env_.dispatcher.clock();
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

void TAKOutputFollower::fadeAndWait(
    const std::vector<std::pair<TAKCrossfadeState*, double>>& statesAndRates) {
    dispatch::assertOnQueue(queue_);
    for (const auto& [state, rate] : statesAndRates) {
        state->startFading(
            std::max<int64_t>(1, static_cast<int64_t>(rate * constants::kFadeSeconds)));
    }
    auto& clock = env_.dispatcher.clock();
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
// IOProcRenderer::crossfadeState) and never owns it. The follower owns every state in a
// unique_ptr and frees it only when no callback can read it any more:
//   - a host whose callback has been removed (removal returns only after its last cycle) no
//     longer reads anything;
//   - a host that may still be called after detachCrossfade() (it runs on, or its removal
//     failed) may be inside a cycle that loaded the old pointer; the state is parked here with
//     the cycle mark that detach returned for each such host, and freed once every one of them
//     has started a later cycle (hasRenderedSince) or has had its callback removed.
void TAKOutputFollower::retire(std::unique_ptr<TAKCrossfadeState> state,
                               std::vector<StateUser> users) {
    dispatch::assertOnQueue(queue_);
    retired_.push_back(RetiredState{std::move(state), std::move(users)});
}

void TAKOutputFollower::releaseRetiredStates() {
    dispatch::assertOnQueue(queue_);
    std::erase_if(retired_, [](const RetiredState& r) {
        return std::all_of(r.users.begin(), r.users.end(), [](const StateUser& user) {
            return !user.host->isInstalled() || user.host->hasRenderedSince(user.mark);
        });
    });
}

void TAKOutputFollower::migrate(const std::vector<uint32_t>& slots, const std::string& toOutputUID,
                                AudioObjectID destinationDeviceID) {
    dispatch::assertOnQueue(queue_);
    if (!catalog_ || !pipelines_) return;
    std::vector<Move> moves;
    for (uint32_t slot : slots) {
        auto pipeIt = pipelines_->find(slot);
        if (pipeIt == pipelines_->end()) continue;
        const auto entry = catalog_->entry(pipeIt->second.pid);
        if (!entry || !entry->tap) continue;
        moves.push_back(
            Move{slot, entry->pid, *entry->tap, pipeIt->second, entry->tap->processObjectIDs});
    }
    const size_t moved =
        crossfade(moves, toOutputUID, isBluetooth(destinationDeviceID), Purpose::migration);
    if (moved == 0) return;
    TAKLog::log().info("crossfade complete: " + std::to_string(moved) + "/" +
                       std::to_string(slots.size()) + " slots migrated to " + toOutputUID);
}

void TAKOutputFollower::rebuildSlot(uint32_t slot, pid_t parentPID,
                                    const std::set<AudioObjectID>& objectIDs) {
    dispatch::assertOnQueue(queue_);
    if (!catalog_ || !pipelines_) return;
    const auto entry = catalog_->entry(parentPID);
    auto pipeIt = pipelines_->find(slot);
    if (!entry || entry->slot != slot || pipeIt == pipelines_->end() || !entry->tap) return;
    const auto output = outputFor(*entry);
    if (!output) {
        TAKLog::log().error("rebuildSlotWithObjectIDs: no default output parentPID=" +
                            std::to_string(parentPID));
        return;
    }
    if (isSwitching_) {
        TAKLog::log().info("rebuildSlotWithObjectIDs: rebuild already in flight — skip parentPID=" +
                           std::to_string(parentPID));
        return;
    }
    const AudioObjectID device = TAKCoreAudio(env_.audio).deviceID(*output).value_or(0);
    const Move move{slot, parentPID, *entry->tap, pipeIt->second, objectIDs};
    if (crossfade({move}, *output, device != 0 && isBluetooth(device), Purpose::processSetChange) ==
        0)
        return;
    TAKLog::log().info("rebuildSlotWithObjectIDs: ok parentPID=" + std::to_string(parentPID) +
                       " slot=" + std::to_string(slot) + " n=" + std::to_string(objectIDs.size()));
}

size_t TAKOutputFollower::crossfade(const std::vector<Move>& moves, const std::string& outputUID,
                                    bool bluetoothTarget, Purpose purpose) {
    const SwitchingScope switching(isSwitching_);
    releaseRetiredStates();
    const bool migration = purpose == Purpose::migration;
    const std::string prefix = migration ? "crossfade: " : "rebuildSlotWithObjectIDs: ";
    const auto subject = [migration](const Move& move) {
        return migration ? "for slot=" + std::to_string(move.slot)
                         : "parentPID=" + std::to_string(move.pid);
    };

    std::vector<CrossfadePair> pairs;
    for (const auto& move : moves) {
        TAKTap newTap;
        try {
            newTap = tapManager_.createTap(move.pid, move.objectIDs, outputUID);
        } catch (const TAKError& error) {
            TAKLog::log().error(prefix + "createTap failed " + subject(move) + ": " +
                                error.description() + (migration ? " — keeping primary" : ""));
            continue;
        }
        auto state = std::make_unique<TAKCrossfadeState>();
        const double rate = rateOf(newTap);
        state->beginPreparing(rate > 0 ? 1e9 / (rate * env_.dispatcher.clock().hostTimeNanosScale())
                                       : 0.0);
        move.oldPipe.ioProc->attachCrossfade(*state, TAKIOProcHost::Role::primary);
        try {
            auto newPipe = buildSecondary(move.slot, move.pid, newTap, outputUID, *state);
            pairs.push_back(CrossfadePair{move.slot, move.pid, move.oldTap, move.oldPipe, newTap,
                                          std::move(newPipe), std::move(state), rate});
        } catch (const TAKError& error) {
            TAKLog::log().error(
                prefix + "buildOne failed " + subject(move) + ": " + error.description() +
                (migration ? " — destroying new tap, keeping primary" : " — destroying new tap"));
            tables_.teardown.removeTap(newTap);
            const uint64_t mark = move.oldPipe.ioProc->detachCrossfade();
            retire(std::move(state), {{move.oldPipe.ioProc, mark}});
        }
    }
    if (pairs.empty()) {
        if (migration) TAKLog::log().info("crossfade: no secondaries built; nothing to do");
        return 0;
    }

    std::vector<TAKCrossfadeState*> states;
    std::vector<std::pair<TAKCrossfadeState*, double>> fades;
    for (auto& pair : pairs) {
        states.push_back(pair.state.get());
        fades.emplace_back(pair.state.get(), pair.sampleRate);
    }
    waitForSecondaries(states, bluetoothTarget);
    fadeAndWait(fades);

    for (auto& pair : pairs) {
        // The old host is silenced by its removal before it leaves the fade, so a failed
        // removal never plays it at full gain; the state waits for both hosts.
        tables_.teardown.removePipeline(pair.oldPipe.ioProc, pair.oldPipe.aggregate);
        const uint64_t oldMark = pair.oldPipe.ioProc->detachCrossfade();
        tables_.teardown.removeTap(pair.oldTap);
        if (catalog_->entry(pair.pid)) catalog_->markActive(pair.pid, pair.newTap);
        (*pipelines_)[pair.slot] = pair.newPipe;
        pair.state->finish();
        const uint64_t mark = pair.newPipe.ioProc->detachCrossfade();
        retire(std::move(pair.state),
               {{pair.newPipe.ioProc, mark}, {pair.oldPipe.ioProc, oldMark}});
        engine_.pipelinesChanged();
    }
    return pairs.size();
}

// ---- device list

void TAKOutputFollower::scheduleDevicesListCheck() {
    dispatch::assertOnQueue(queue_);
    if (!isRunning()) return;
    if (devicesDebounceWork_) devicesDebounceWork_->cancel();
    devicesDebounceWork_ = std::make_shared<dispatch::WorkItem>(
        weakly([](TAKOutputFollower& f) { f.handleDevicesListChanged(); }));
    queue_->asyncAfter(constants::kDevicesListDebounceSeconds, devicesDebounceWork_);
}

void TAKOutputFollower::handleDevicesListChanged() {
    dispatch::assertOnQueue(queue_);
    if (!isRunning()) return;
    // An application whose own device left plays on the default instead, and goes back when its
    // device returns; its dead pipeline is replaced here rather than by a rebuild of everything.
    moveStrayPipelines("devices-list change", true);
    size_t dead = 0;
    for (const auto& [slot, pipeline] : *pipelines_) {
        uint32_t size = 0;
        if (env_.audio.getPropertyDataSize(pipeline.aggregate.aggregateID,
                                           {kAudioObjectPropertyClass},
                                           size) != kAudioHardwareNoError) {
            ++dead;
        }
    }
    if (dead == 0) return;
    TAKLog::log().info("devices-list change: " + std::to_string(dead) + "/" +
                       std::to_string(pipelines_->size()) + " aggregates dead — full rebuild");
    engine_.aggregatesDied();
}

}  // namespace tobble::engine
