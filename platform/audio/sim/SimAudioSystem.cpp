// The sim's control surface: devices, processes, faults, inspection and recordings.
#include "platform/audio/sim/SimAudioSystem.h"

#include <algorithm>

#include "platform/audio/sim/SimCore.h"

namespace tobble::audio::sim {

using detail::SimAggregate;
using detail::SimDevice;
using detail::SimProcess;
using detail::Transaction;

SimAudioSystem::SimAudioSystem(dispatch::Dispatcher& dispatcher)
    : state_(std::make_unique<State>(dispatcher)) {}

SimAudioSystem::~SimAudioSystem() {
    // No cycle may start or still run once the state goes; then stop the clocks. The queues go
    // with the state, after every lock is released.
    state_->gate->close();
    std::vector<dispatch::TimerPtr> timers;
    {
        std::lock_guard lock(state_->mutex);
        for (const auto& [id, d] : state_->devices) timers.push_back(d->timer);
    }
    for (const auto& timer : timers) timer->cancel();
}

// ---- devices

AudioObjectID SimAudioSystem::addDevice(const DeviceConfig& config) {
    auto& s = *state_;
    Transaction tx(s);
    DeviceConfig c = config;
    if (c.uid.empty()) c.uid = detail::freshUUID();
    if (s.deviceByUID(c.uid) || s.liveAggregateByUID(c.uid)) return kAudioObjectUnknown;
    if (c.sampleRate <= 0) c.sampleRate = DeviceConfig{}.sampleRate;
    if (c.bufferFrames == 0) c.bufferFrames = DeviceConfig{}.bufferFrames;

    auto d = std::make_shared<SimDevice>();
    d->id = s.newObjectID();
    if (c.channels > 0) {
        d->stream = s.newObjectID();
        s.streams[d->stream] = d->id;
    }
    d->config = c;
    d->channelVolumes.assign(c.channels, std::clamp(c.volume, 0.0f, 1.0f));
    d->muted = c.muted;
    const size_t samples = static_cast<size_t>(c.bufferFrames) * c.channels;
    d->direct.resize(samples);
    d->fromCallbacks.resize(samples);
    d->total.resize(samples);

    // A device that comes back with the same UID and layout continues its recording.
    auto& recording = s.recordings[c.uid];
    if (!recording || !recording->hasLayout(c.channels, c.bufferFrames)) {
        recording = std::make_shared<detail::DeviceRecording>(c.channels, c.bufferFrames,
                                                              c.sampleRate, s.sampleHistorySeconds,
                                                              s.cycleHistorySeconds);
    }
    d->recording = recording;

    d->queue = s.dispatcher.makeSerialQueue("sim.device." + c.uid, dispatch::QoS::UserInteractive);
    s.devices[d->id] = d;
    s.startClock(*d);

    tx.notify(kAudioObjectSystemObject, detail::kDeviceListAddress);
    if (c.makeDefault && c.channels > 0) {
        s.setDefaultOutput(tx, d->id);
    } else {
        s.ensureDefaultOutput(tx);
    }
    return d->id;
}

void SimAudioSystem::removeDevice(std::string_view uid) {
    auto& s = *state_;
    Transaction tx(s);
    SimDevice* d = s.deviceByUID(uid);
    if (!d) return;
    const AudioObjectID id = d->id;
    for (auto& [aggID, agg] : s.aggregates) {
        const bool usesIt =
            agg.mainDevice == id ||
            std::find(agg.subDevices.begin(), agg.subDevices.end(), id) != agg.subDevices.end();
        if (agg.alive && usesIt) s.killAggregate(tx, agg);
    }
    for (auto& [procID, proc] : s.ioProcs) {
        if (proc->device == id) proc->started = false;
    }
    d->timer->cancel();
    s.retiredQueues.push_back(d->queue);
    s.streams.erase(d->stream);
    auto node = s.devices.extract(id);
    tx.dispose(std::move(node.mapped()));
    tx.notify(id, detail::kIsAliveAddress);
    tx.notify(kAudioObjectSystemObject, detail::kDeviceListAddress);
    if (s.defaultOutput == id) s.ensureDefaultOutput(tx);
}

void SimAudioSystem::setDefaultOutput(std::string_view uid) {
    auto& s = *state_;
    Transaction tx(s);
    AudioObjectID id = kAudioObjectUnknown;
    if (const SimDevice* d = s.deviceByUID(uid)) id = d->id;
    if (const SimAggregate* a = s.liveAggregateByUID(uid)) id = a->id;
    if (s.outputChannels(id) > 0) s.setDefaultOutput(tx, id);
}

std::optional<std::string> SimAudioSystem::defaultOutputUID() const {
    std::lock_guard lock(state_->mutex);
    if (const SimDevice* d = state_->device(state_->defaultOutput)) return d->config.uid;
    if (const SimAggregate* a = state_->liveAggregate(state_->defaultOutput)) return a->uid;
    return std::nullopt;
}

std::optional<AudioObjectID> SimAudioSystem::deviceID(std::string_view uid) const {
    std::lock_guard lock(state_->mutex);
    if (const SimDevice* d = state_->deviceByUID(uid)) return d->id;
    if (const SimAggregate* a = state_->liveAggregateByUID(uid)) return a->id;
    return std::nullopt;
}

void SimAudioSystem::setDeviceVolume(std::string_view uid, float volume) {
    Transaction tx(*state_);
    if (SimDevice* d = state_->deviceByUID(uid)) state_->setVolume(tx, *d, std::nullopt, volume);
}

void SimAudioSystem::setDeviceMuted(std::string_view uid, bool muted) {
    Transaction tx(*state_);
    if (SimDevice* d = state_->deviceByUID(uid)) state_->setMuted(tx, *d, muted);
}

float SimAudioSystem::deviceVolume(std::string_view uid) const {
    std::lock_guard lock(state_->mutex);
    const SimDevice* d = state_->deviceByUID(uid);
    return d ? d->mainVolume() : 0.0f;
}

bool SimAudioSystem::deviceMuted(std::string_view uid) const {
    std::lock_guard lock(state_->mutex);
    const SimDevice* d = state_->deviceByUID(uid);
    return d && d->muted;
}

// ---- processes

AudioObjectID SimAudioSystem::addProcess(const ProcessConfig& config) {
    auto& s = *state_;
    Transaction tx(s);
    SimProcess p;
    p.id = s.newObjectID();
    p.pid = config.pid;
    p.bundleID = config.bundleID;
    p.signal = config.signal;
    s.processes[p.id] = p;
    tx.notify(kAudioObjectSystemObject, detail::kProcessListAddress);
    return p.id;
}

void SimAudioSystem::startPlaying(AudioObjectID process) { setRunning(process, true, true); }

void SimAudioSystem::stopPlaying(AudioObjectID process) { setRunning(process, false, false); }

void SimAudioSystem::setRunning(AudioObjectID process, bool running, bool runningOutput) {
    auto& s = *state_;
    Transaction tx(s);
    auto it = s.processes.find(process);
    if (it != s.processes.end()) s.setProcessState(tx, it->second, running, runningOutput);
}

void SimAudioSystem::setSignal(AudioObjectID process, Signal signal) {
    std::lock_guard lock(state_->mutex);
    auto it = state_->processes.find(process);
    if (it != state_->processes.end()) it->second.signal = signal;
}

void SimAudioSystem::removeProcessObject(AudioObjectID process) {
    auto& s = *state_;
    Transaction tx(s);
    if (s.processes.erase(process) > 0)
        tx.notify(kAudioObjectSystemObject, detail::kProcessListAddress);
}

void SimAudioSystem::exitProcess(pid_t pid) {
    auto& s = *state_;
    Transaction tx(s);
    const auto removed =
        std::erase_if(s.processes, [&](const auto& entry) { return entry.second.pid == pid; });
    if (removed > 0) tx.notify(kAudioObjectSystemObject, detail::kProcessListAddress);
}

bool SimAudioSystem::processExists(pid_t pid) const {
    std::lock_guard lock(state_->mutex);
    return std::any_of(state_->processes.begin(), state_->processes.end(),
                       [&](const auto& entry) { return entry.second.pid == pid; });
}

std::vector<AudioObjectID> SimAudioSystem::processObjects(pid_t pid) const {
    std::lock_guard lock(state_->mutex);
    std::vector<AudioObjectID> ids;
    for (const auto& [id, p] : state_->processes) {
        if (p.pid == pid) ids.push_back(id);
    }
    return ids;
}

// ---- faults

void SimAudioSystem::failNext(SimCall call, OSStatus status, int count,
                              std::optional<uint32_t> selector) {
    std::lock_guard lock(state_->mutex);
    state_->faults.failNext(call, status, count, selector);
}

void SimAudioSystem::clearFaults() {
    std::lock_guard lock(state_->mutex);
    state_->faults.clear();
}

void SimAudioSystem::setCallbacksStalled(std::string_view deviceUID, bool stalled) {
    std::lock_guard lock(state_->mutex);
    if (SimDevice* d = state_->deviceByUID(deviceUID)) d->stalled = stalled;
    for (auto& [id, agg] : state_->aggregates) {
        if (agg.alive && agg.uid == deviceUID) agg.stalled = stalled;
    }
}

void SimAudioSystem::setCallbacksStalled(AudioObjectID device, bool stalled) {
    std::lock_guard lock(state_->mutex);
    if (SimDevice* d = state_->device(device)) d->stalled = stalled;
    if (SimAggregate* a = state_->liveAggregate(device)) a->stalled = stalled;
}

void SimAudioSystem::killAggregate(AudioObjectID aggregate) {
    auto& s = *state_;
    Transaction tx(s);
    if (SimAggregate* a = s.liveAggregate(aggregate)) s.killAggregate(tx, *a);
}

// ---- inspection

std::vector<SimTapInfo> SimAudioSystem::taps() const {
    std::lock_guard lock(state_->mutex);
    std::vector<SimTapInfo> out;
    for (const auto& [id, t] : state_->taps) out.push_back({id, t.uid, t.description});
    return out;
}

std::vector<SimAggregateInfo> SimAudioSystem::aggregates() const {
    std::lock_guard lock(state_->mutex);
    std::vector<SimAggregateInfo> out;
    for (const auto& [id, a] : state_->aggregates) {
        out.push_back({id, a.uid, a.mainDeviceUID, a.tapUIDs, a.description, a.alive});
    }
    return out;
}

size_t SimAudioSystem::ioProcCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->ioProcs.size();
}

size_t SimAudioSystem::runningIOProcCount() const {
    std::lock_guard lock(state_->mutex);
    return static_cast<size_t>(
        std::count_if(state_->ioProcs.begin(), state_->ioProcs.end(),
                      [](const auto& e) { return e.second->started.load(); }));
}

size_t SimAudioSystem::listenerCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->listeners.size();
}

uint64_t SimAudioSystem::callCount(SimCall call) const {
    std::lock_guard lock(state_->mutex);
    return state_->faults.callCount(call);
}

// ---- recordings

std::vector<CycleRecord> SimAudioSystem::cycles(std::string_view deviceUID, double from,
                                                double to) const {
    std::lock_guard lock(state_->mutex);
    auto it = state_->recordings.find(deviceUID);
    return it == state_->recordings.end() ? std::vector<CycleRecord>{}
                                          : it->second->cycles(from, to);
}

std::vector<float> SimAudioSystem::samples(std::string_view deviceUID, uint32_t channel,
                                           double from, double to) const {
    std::lock_guard lock(state_->mutex);
    auto it = state_->recordings.find(deviceUID);
    return it == state_->recordings.end() ? std::vector<float>{}
                                          : it->second->samples(channel, from, to);
}

double SimAudioSystem::rms(std::string_view deviceUID, uint32_t channel, double from,
                           double to) const {
    std::lock_guard lock(state_->mutex);
    auto it = state_->recordings.find(deviceUID);
    return it == state_->recordings.end() ? 0.0 : it->second->rms(channel, from, to);
}

void SimAudioSystem::setSampleHistorySeconds(double seconds) {
    std::lock_guard lock(state_->mutex);
    state_->sampleHistorySeconds = std::max(seconds, 0.0);
    for (auto& [uid, recording] : state_->recordings) {
        recording->setHistorySeconds(state_->sampleHistorySeconds);
    }
}

void SimAudioSystem::setCycleHistorySeconds(double seconds) {
    std::lock_guard lock(state_->mutex);
    state_->cycleHistorySeconds = std::max(seconds, 0.0);
    for (auto& [uid, recording] : state_->recordings) {
        recording->setRecordSeconds(state_->cycleHistorySeconds);
    }
}

void SimAudioSystem::clearRecordings() {
    std::lock_guard lock(state_->mutex);
    for (auto& [uid, recording] : state_->recordings) recording->clear();
}

}  // namespace tobble::audio::sim
