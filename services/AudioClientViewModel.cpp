#include "services/AudioClientViewModel.h"

#include <algorithm>
#include <cmath>

#include "engine/TAKEngine.h"
#include "engine/TAKTobbleClientBridge.h"
#include "engine/core/Identity.h"
#include "engine/core/TAKProcessMetadata.h"
#include "platform/dispatch/QueueCheck.h"
#include "services/OutputPinStore.h"
#include "services/SystemProcessExclusions.h"
#include "services/VolumeStore.h"

namespace tobble::app {

// ---- observers

struct AudioClientViewModel::Observation::Entry {
    Observer observer;
    bool active = true;
    std::weak_ptr<ObserverList> list;
};

struct AudioClientViewModel::ObserverList {
    std::vector<std::shared_ptr<Observation::Entry>> entries;
};

AudioClientViewModel::Observation& AudioClientViewModel::Observation::operator=(
    Observation&& other) noexcept {
    if (this != &other) {
        reset();
        entry_ = std::move(other.entry_);
    }
    return *this;
}

void AudioClientViewModel::Observation::reset() {
    if (!entry_) return;
    entry_->active = false;
    if (auto list = entry_->list.lock()) {
        std::erase(list->entries, entry_);
    }
    entry_.reset();
}

AudioClientViewModel::Observation AudioClientViewModel::observe(Observer observer) {
    auto entry = std::make_shared<Observation::Entry>();
    entry->observer = std::move(observer);
    entry->list = observers_;
    observers_->entries.push_back(entry);
    return Observation(std::move(entry));
}

void AudioClientViewModel::publish(unsigned changes) {
    pendingChanges_ |= changes;
    if (deliveryScheduled_) return;
    deliveryScheduled_ = true;
    // Observers hear about a change after the call that made it has returned, never from inside
    // it, so a view may call back into the view model from its observer.
    env_.dispatcher.mainQueue().async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->deliverChanges();
    });
}

void AudioClientViewModel::deliverChanges() {
    dispatch::assertOnQueue(env_.dispatcher.mainQueue());
    deliveryScheduled_ = false;
    const unsigned changes = std::exchange(pendingChanges_, 0u);
    const auto entries = observers_->entries;  // an observer may end observations while called
    for (const auto& entry : entries) {
        const Observer& o = entry->observer;
        if ((changes & kPanelChanged) && entry->active && o.panelOpenChanged)
            o.panelOpenChanged(isPanelOpen());
        if ((changes & kClientsChanged) && entry->active && o.clientsChanged)
            o.clientsChanged(clients_);
        if ((changes & kLevelsChanged) && entry->active && o.levelsChanged)
            o.levelsChanged(levels());
    }
}

AudioClientViewModel::Levels AudioClientViewModel::levels() const {
    Levels result;
    result.reserve(clients_.size());
    for (const auto& row : clients_) result.emplace_back(row.id, row.rmsLevel);
    return result;
}

// ---- lifecycle

std::shared_ptr<AudioClientViewModel> AudioClientViewModel::make(const Environment& environment,
                                                                 engine::TAKEngine& engine,
                                                                 TobbleAudioService& audioService_,
                                                                 VolumeStore& volumeStore_,
                                                                 OutputPinStore* outputPins) {
    return std::shared_ptr<AudioClientViewModel>(
        new AudioClientViewModel(environment, engine, audioService_, volumeStore_, outputPins));
}

AudioClientViewModel::AudioClientViewModel(const Environment& environment,
                                           engine::TAKEngine& engine, TobbleAudioService& service,
                                           VolumeStore& store, OutputPinStore* outputPins)
    : env_(environment),
      engine_(engine),
      audioService_(service),
      volumeStore_(store),
      outputPins_(outputPins),
      logger_(engine::logSubsystem(), "ViewModel"),
      pollQueue_(environment.dispatcher.makeSerialQueue(engine::queueLabel("viewmodel.poll"),
                                                        dispatch::QoS::UserInitiated)),
      observers_(std::make_shared<ObserverList>()) {}

AudioClientViewModel::~AudioClientViewModel() {
    // Owners stop the view model on quit; this keeps a forgotten stop from losing a change.
    stop();
}

void AudioClientViewModel::start() {
    if (isStarted_) return;
    isStarted_ = true;
    updateClients(readClientList());

    auto weak = weak_from_this();
    launchObservation_ =
        env_.applications.observeLaunches(env_.dispatcher.mainQueuePtr(), [weak](pid_t) {
            auto self = weak.lock();
            if (self && self->isStarted_ && self->waitingForApplication_)
                self->updateClients(self->lastPolled_);
        });
    startPollingTimer(clientPollTimer_, kClientPollInterval, [weak] {
        if (auto self = weak.lock()) self->fetchClientListUpdate();
    });
}

void AudioClientViewModel::stop() {
    if (!isStarted_) return;
    isStarted_ = false;
    if (clientPollTimer_) clientPollTimer_->cancel();
    clientPollTimer_.reset();
    launchObservation_.reset();
    stopRMSPolling();

    // Commit what the user already did, here and now.
    const auto writes = std::exchange(pendingVolumeWrites_, {});
    for (const auto& [clientID, write] : writes) {
        write.item->cancel();
        commitVolumeWrite(clientID, write);
    }
    pendingVolumeTokens_.clear();

    for (const auto& [clientID, item] : pendingDragEndRemovals_) item->cancel();
    pendingDragEndRemovals_.clear();
    logger_.info("stopped");
}

void AudioClientViewModel::startPollingTimer(dispatch::TimerPtr& slot, dispatch::Seconds interval,
                                             std::function<void()> handler) {
    if (slot) return;
    slot = env_.dispatcher.makeRepeatingTimer(pollQueue_, 0.0, interval, std::move(handler));
}

// ---- client list

std::vector<AudioClientViewModel::TobbleClient> AudioClientViewModel::readClientList() const {
    auto bridge = engine::TAKTobbleClientBridge::forEngine(engine_);
    return bridge ? bridge->readClientList() : std::vector<TobbleClient>{};
}

void AudioClientViewModel::fetchClientListUpdate() {
    dispatch::assertOnQueue(pollQueue_);
    auto polled = audioService_.readClientListIfChanged();
    if (!polled) return;  // the engine's catalog has not changed: nothing to do
    env_.dispatcher.mainQueue().async([weak = weak_from_this(), list = std::move(*polled)] {
        auto self = weak.lock();
        if (self && self->isStarted_) self->updateClients(list);
    });
}

void AudioClientViewModel::updateClients(const std::vector<TobbleClient>& polled) {
    lastPolled_ = polled;
    waitingForApplication_ = false;

    std::map<uint32_t, const AppClient*> current;
    for (const auto& row : clients_) current[row.id] = &row;

    std::optional<VolumeStore::SavedStates> saved;  // read once, only when a row is new
    const float limit = volumeStore_.volumeLimit();
    std::vector<AppClient> rows;
    std::vector<AppClient> created;
    for (const auto& client : polled) {
        if (client.bundleID.empty() || isSystemProcess(client.bundleID)) continue;
        const auto details = env_.applications.lookup(client.pid);
        if (!details) {
            waitingForApplication_ = true;
            continue;
        }
        if (details->activationPolicy != system::ActivationPolicy::Regular) continue;

        const Metadata metadata = resolveAppMetadata(client.pid, client.bundleID);
        auto it = current.find(client.clientID);
        // A row stays only while the same application holds the same tenancy of the slot; a
        // slot that passed to another application gets a fresh row of its own.
        if (it != current.end() && it->second->generation == client.generation &&
            it->second->bundleID == client.bundleID) {
            AppClient row = *it->second;
            row.name = metadata.name;
            row.icon = metadata.icon;
            row.volumeLimit = limit;
            row.output = outputOf(row.bundleID);
            rows.push_back(std::move(row));
            continue;
        }

        if (!saved) saved = volumeStore_.loadAll();
        AppClient row;
        row.id = client.clientID;
        row.pid = client.pid;
        row.bundleID = client.bundleID;
        row.slot = client.slot;
        row.generation = client.generation;
        row.name = metadata.name;
        row.icon = metadata.icon;
        row.volumeLimit = limit;
        row.output = outputOf(row.bundleID);
        if (auto s = saved->find(client.bundleID); s != saved->end()) {
            // A saved volume may lie beyond what applies now (boost turned off, or an older
            // build's value); the row shows what the engine applies.
            row.volume = volumeStore_.applicable(s->second.volume);
            row.isMuted = s->second.isMuted;
        } else {
            row.volume = static_cast<float>(volumeStore_.defaultVolume());
            row.isMuted = false;
        }
        row.previousVolume = row.volume;
        row.rmsLevel = 0.0f;
        rows.push_back(row);
        created.push_back(std::move(row));
    }

    if (rows != clients_) {
        clients_ = std::move(rows);
        publish(kClientsChanged);
    }
    // A reappearing application gets its saved level before anyone sees the row.
    for (const auto& row : created) {
        // A saved volume is not written back: it may apply clamped only for now.
        const bool restored = saved && saved->count(row.bundleID) != 0;
        writeToEngine(RowIdentity{row.slot, row.generation, row.bundleID}, row.volume, row.isMuted,
                      !restored);
    }
}

AudioClientViewModel::Metadata AudioClientViewModel::resolveAppMetadata(
    pid_t pid, const std::string& bundleID) {
    const std::string key = std::to_string(pid) + "-" + bundleID;
    if (auto it = appMetadataCache_.find(key); it != appMetadataCache_.end()) return it->second;
    // A client known only by its pid has no bundle identifier to name it after.
    const bool pidKey = bundleID.starts_with("pid:");
    auto resolved = engine::TAKProcessMetadata::resolve(
        env_.applications, pid, pidKey ? std::nullopt : std::optional(bundleID));
    Metadata metadata{std::move(resolved.name), std::move(resolved.icon)};
    appMetadataCache_.emplace(key, metadata);
    return metadata;
}

AudioClientViewModel::AppClient* AudioClientViewModel::findClient(uint32_t clientID) {
    auto it = std::find_if(clients_.begin(), clients_.end(),
                           [&](const AppClient& c) { return c.id == clientID; });
    return it == clients_.end() ? nullptr : &*it;
}

const AudioClientViewModel::AppClient* AudioClientViewModel::client(uint32_t clientID) const {
    auto it = std::find_if(clients_.begin(), clients_.end(),
                           [&](const AppClient& c) { return c.id == clientID; });
    return it == clients_.end() ? nullptr : &*it;
}

// ---- levels

void AudioClientViewModel::startRMSPolling() {
    if (rmsPollTimer_) return;
    const uint64_t levelPoll = ++levelPoll_;
    startPollingTimer(rmsPollTimer_, kLevelPollInterval, [weak = weak_from_this(), levelPoll] {
        if (auto self = weak.lock()) self->fetchRMSLevels(levelPoll);
    });
    publish(kPanelChanged);
}

void AudioClientViewModel::stopRMSPolling() {
    const bool wasOpen = rmsPollTimer_ != nullptr;
    if (rmsPollTimer_) rmsPollTimer_->cancel();
    rmsPollTimer_.reset();
    ++levelPoll_;  // a reading already on its way belongs to the closed panel
    zeroLevels();
    if (wasOpen) publish(kPanelChanged);
}

void AudioClientViewModel::fetchRMSLevels(uint64_t levelPoll) {
    dispatch::assertOnQueue(pollQueue_);
    auto bridge = engine::TAKTobbleClientBridge::forEngine(engine_);
    Levels levels = bridge ? bridge->readRMSLevels() : Levels{};
    env_.dispatcher.mainQueue().async(
        [weak = weak_from_this(), levels = std::move(levels), levelPoll] {
            if (auto self = weak.lock()) self->applyLevels(levels, levelPoll);
        });
}

void AudioClientViewModel::applyLevels(const Levels& levels, uint64_t levelPoll) {
    dispatch::assertOnQueue(env_.dispatcher.mainQueue());
    if (!isStarted_ || levelPoll != levelPoll_) return;
    std::map<uint32_t, float> byClient;
    for (const auto& [clientID, level] : levels)
        byClient[clientID] = level;  // a later duplicate wins
    bool changed = false;
    for (auto& row : clients_) {
        auto it = byClient.find(row.id);
        const float level = it == byClient.end() ? 0.0f : it->second;
        if (row.rmsLevel != level) {
            row.rmsLevel = level;
            changed = true;
        }
    }
    if (changed) publish(kLevelsChanged);
}

void AudioClientViewModel::zeroLevels() {
    bool changed = false;
    for (auto& row : clients_) {
        if (row.rmsLevel != 0.0f) {
            row.rmsLevel = 0.0f;
            changed = true;
        }
    }
    if (changed) publish(kLevelsChanged);
}

// ---- user changes

void AudioClientViewModel::sendVolumeChange(uint32_t clientID, uint32_t slot, uint32_t generation,
                                            float volume) {
    if (std::isnan(volume)) return;
    volume = std::clamp(volume, 0.0f, volumeStore_.volumeLimit());

    AppClient* row = findClient(clientID);
    if (row && (row->slot != slot || row->generation != generation))
        row = nullptr;  // not this row's change
    const RowIdentity identity{slot, generation, row ? std::optional(row->bundleID) : std::nullopt};

    if (auto it = pendingVolumeWrites_.find(clientID); it != pendingVolumeWrites_.end()) {
        const PendingWrite earlier = std::move(it->second);
        pendingVolumeWrites_.erase(it);
        earlier.item->cancel();
        // A change still waiting for another row that held this id belongs to that row: commit
        // it rather than let this one supersede it.
        if (earlier.row != identity) commitVolumeWrite(clientID, earlier);
    }
    const uint64_t token = ++nextToken_;
    pendingVolumeTokens_[clientID] = token;

    if (row && row->volume != volume) {
        row->volume = volume;
        publish(kClientsChanged);
    }
    const bool muted = row ? row->isMuted : false;

    PendingWrite write{nullptr, token, identity, volume, muted};
    write.item = std::make_shared<dispatch::WorkItem>([weak = weak_from_this(), clientID, write] {
        if (auto self = weak.lock()) self->commitVolumeWrite(clientID, write);
    });
    pendingVolumeWrites_[clientID] = write;
    env_.dispatcher.mainQueue().asyncAfter(kVolumeWriteDelay, write.item);
}

void AudioClientViewModel::commitVolumeWrite(uint32_t clientID, const PendingWrite& write) {
    auto it = pendingVolumeTokens_.find(clientID);
    if (it == pendingVolumeTokens_.end() || it->second != write.token)
        return;  // a newer change superseded it
    pendingVolumeTokens_.erase(it);
    if (auto p = pendingVolumeWrites_.find(clientID);
        p != pendingVolumeWrites_.end() && p->second.token == write.token) {
        pendingVolumeWrites_.erase(p);
    }
    const RowIdentity& row = write.row;
    const float volume = write.volume;
    bool muted = write.muted;

    // The mute button may have been pressed since the slider moved; the row's state wins.
    if (const AppClient* current = client(clientID);
        current && row.bundleID && current->slot == row.slot &&
        current->generation == row.generation && current->bundleID == *row.bundleID) {
        muted = current->isMuted;
    }
    writeToEngine(row, volume, muted);
    if (row.bundleID) volumeStore_.save(*row.bundleID, volume, muted);
}

void AudioClientViewModel::toggleMute(uint32_t clientID) {
    AppClient* row = findClient(clientID);
    if (!row) return;
    row->isMuted = !row->isMuted;
    publish(kClientsChanged);
    const AppClient committed = *row;
    writeToEngine(RowIdentity{committed.slot, committed.generation, committed.bundleID},
                  committed.volume, committed.isMuted);
    volumeStore_.save(committed.bundleID, committed.volume, committed.isMuted);
}

bool AudioClientViewModel::volumeBoostAllowed() const { return volumeStore_.volumeBoostAllowed(); }

float AudioClientViewModel::volumeLimit() const { return volumeStore_.volumeLimit(); }

void AudioClientViewModel::setVolumeBoostAllowed(bool allowed) {
    if (allowed == volumeStore_.volumeBoostAllowed()) return;
    volumeStore_.setVolumeBoostAllowed(allowed);
    const float limit = volumeStore_.volumeLimit();
    const auto saved = volumeStore_.loadAll();
    bool changed = false;
    for (auto& row : clients_) {
        // The saved volume, not the row's, so that turning boost back on restores it.
        const auto s = saved.find(row.bundleID);
        const float volume = s != saved.end() ? volumeStore_.applicable(s->second.volume)
                                              : std::min(row.volume, limit);
        if (row.volume == volume && row.volumeLimit == limit) continue;
        changed = true;
        row.volumeLimit = limit;
        if (row.volume == volume) continue;
        row.volume = volume;
        writeToEngine(RowIdentity{row.slot, row.generation, row.bundleID}, volume, row.isMuted,
                      false);
    }
    logger_.info(std::string("volume boost ") + (allowed ? "allowed" : "off"));
    if (changed) publish(kClientsChanged);
}

std::string AudioClientViewModel::outputOf(const std::string& bundleID) const {
    return outputPins_ ? outputPins_->pinnedOutput(bundleID).value_or("") : std::string();
}

bool AudioClientViewModel::setOutput(uint32_t clientID, const std::string& uid) {
    const AppClient* row = client(clientID);
    if (!row || !outputPins_ || !outputPins_->setPin(row->bundleID, uid)) return false;
    const std::string bundleID = row->bundleID;
    for (auto& r : clients_) {
        if (r.bundleID == bundleID) r.output = uid;
    }
    logger_.info("output of " + bundleID + ": " + (uid.empty() ? "the default" : uid));
    publish(kClientsChanged);
    engine_.outputPinsChanged();
    return true;
}

bool AudioClientViewModel::writeToEngine(const RowIdentity& row, float volume, bool muted,
                                         bool save) {
    auto bridge = engine::TAKTobbleClientBridge::forEngine(engine_);
    if (!bridge) return false;
    if (row.bundleID) {
        // The bridge checks (slot, generation) only, and an engine restart hands out the same
        // pairs again. A row's change must never land on, or be saved for, another application.
        const auto clients = bridge->readClientList();
        const auto holder =
            std::find_if(clients.begin(), clients.end(), [&](const TobbleClient& c) {
                return c.slot == row.slot && c.generation == row.generation;
            });
        if (holder != clients.end() && holder->bundleID != *row.bundleID) {
            logger_.info("volume change dropped slot=" + std::to_string(row.slot) +
                         " gen=" + std::to_string(row.generation) + " row=" + *row.bundleID +
                         " holder=" + holder->bundleID);
            return false;
        }
    }
    return save ? bridge->setClientVolume(row.slot, row.generation, volume, muted)
                : bridge->applyClientVolume(row.slot, row.generation, volume, muted);
}

// ---- drag bookkeeping

void AudioClientViewModel::beginDrag(uint32_t clientID) {
    if (auto it = pendingDragEndRemovals_.find(clientID); it != pendingDragEndRemovals_.end()) {
        it->second->cancel();
        pendingDragEndRemovals_.erase(it);
    }
    draggingClients_.insert(clientID);
}

void AudioClientViewModel::endDrag(uint32_t clientID) {
    if (auto it = pendingDragEndRemovals_.find(clientID); it != pendingDragEndRemovals_.end())
        it->second->cancel();
    pendingDragEndRemovals_[clientID] =
        env_.dispatcher.mainQueue().asyncAfter(kDragEndDelay, [weak = weak_from_this(), clientID] {
            if (auto self = weak.lock()) {
                self->draggingClients_.erase(clientID);
                self->pendingDragEndRemovals_.erase(clientID);
            }
        });
}

}  // namespace tobble::app
