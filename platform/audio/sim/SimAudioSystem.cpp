#include "platform/audio/sim/SimAudioSystem.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <cstring>

#include "platform/audio/sim/SimCore.h"

namespace tobble::audio::sim {

using detail::PropertyValue;
using detail::SimAggregate;
using detail::SimDevice;
using detail::SimIOProc;
using detail::SimProcess;
using detail::SimTap;
using detail::Transaction;

struct SimAudioSystem::State : detail::SimCore {
    using SimCore::SimCore;
};

namespace {

std::string freshUUID() {
    uuid_t raw;
    uuid_generate_random(raw);
    char text[37];
    uuid_unparse_upper(raw, text);
    return text;
}

const PropertyAddress kDeviceListAddress{kAudioHardwarePropertyDevices};
const PropertyAddress kProcessListAddress{kAudioHardwarePropertyProcessObjectList};
const PropertyAddress kTapListAddress{kAudioHardwarePropertyTapList};
const PropertyAddress kIsAliveAddress{kAudioDevicePropertyDeviceIsAlive};

}  // namespace

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
    if (c.uid.empty()) c.uid = freshUUID();
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
                                                              c.sampleRate, s.sampleHistorySeconds);
    }
    d->recording = recording;

    d->queue = s.dispatcher.makeSerialQueue("sim.device." + c.uid, dispatch::QoS::UserInteractive);
    s.devices[d->id] = d;
    s.startClock(*d);

    tx.notify(kAudioObjectSystemObject, kDeviceListAddress);
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
    tx.notify(id, kIsAliveAddress);
    tx.notify(kAudioObjectSystemObject, kDeviceListAddress);
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
    tx.notify(kAudioObjectSystemObject, kProcessListAddress);
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
    if (s.processes.erase(process) > 0) tx.notify(kAudioObjectSystemObject, kProcessListAddress);
}

void SimAudioSystem::exitProcess(pid_t pid) {
    auto& s = *state_;
    Transaction tx(s);
    const auto removed =
        std::erase_if(s.processes, [&](const auto& entry) { return entry.second.pid == pid; });
    if (removed > 0) tx.notify(kAudioObjectSystemObject, kProcessListAddress);
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

void SimAudioSystem::clearRecordings() {
    std::lock_guard lock(state_->mutex);
    for (auto& [uid, recording] : state_->recordings) recording->clear();
}

// ---- AudioHardware: properties

bool SimAudioSystem::hasProperty(AudioObjectID object, const PropertyAddress& address) {
    std::lock_guard lock(state_->mutex);
    PropertyValue value;
    return state_->readProperty(object, address, value) == kAudioHardwareNoError;
}

OSStatus SimAudioSystem::getPropertyDataSize(AudioObjectID object, const PropertyAddress& address,
                                             uint32_t& outSize) {
    Transaction tx(*state_);
    if (auto status = tx.fault(SimCall::GetPropertyDataSize, address.selector)) return *status;
    PropertyValue value;
    if (OSStatus status = state_->readProperty(object, address, value)) return status;
    outSize = value.byteSize();
    return kAudioHardwareNoError;
}

OSStatus SimAudioSystem::getPropertyData(AudioObjectID object, const PropertyAddress& address,
                                         uint32_t& ioSize, void* outData) {
    Transaction tx(*state_);
    if (auto status = tx.fault(SimCall::GetPropertyData, address.selector)) return *status;
    PropertyValue value;
    if (OSStatus status = state_->readProperty(object, address, value)) return status;
    if (outData == nullptr) return kAudio_ParamError;
    switch (value.kind) {
        case PropertyValue::Kind::Fixed:
            if (ioSize < value.bytes.size()) return kAudioHardwareBadPropertySizeError;
            std::memcpy(outData, value.bytes.data(), value.bytes.size());
            ioSize = static_cast<uint32_t>(value.bytes.size());
            return kAudioHardwareNoError;
        case PropertyValue::Kind::ObjectList: {
            const size_t count =
                std::min<size_t>(ioSize / sizeof(AudioObjectID), value.objects.size());
            std::memcpy(outData, value.objects.data(), count * sizeof(AudioObjectID));
            ioSize = static_cast<uint32_t>(count * sizeof(AudioObjectID));
            return kAudioHardwareNoError;
        }
        case PropertyValue::Kind::String:
            // A string is a reference on the platform; here it is read with getPropertyString.
            return kAudioHardwareUnsupportedOperationError;
    }
    return kAudioHardwareUnspecifiedError;
}

OSStatus SimAudioSystem::setPropertyData(AudioObjectID object, const PropertyAddress& address,
                                         uint32_t size, const void* data) {
    Transaction tx(*state_);
    if (auto status = tx.fault(SimCall::SetPropertyData, address.selector)) return *status;
    return state_->writeProperty(tx, object, address, size, data);
}

OSStatus SimAudioSystem::getPropertyString(AudioObjectID object, const PropertyAddress& address,
                                           std::optional<std::string>& out) {
    out.reset();
    Transaction tx(*state_);
    if (auto status = tx.fault(SimCall::GetPropertyData, address.selector)) return *status;
    PropertyValue value;
    if (OSStatus status = state_->readProperty(object, address, value)) return status;
    if (value.kind != PropertyValue::Kind::String) return kAudioHardwareUnsupportedOperationError;
    out = std::move(value.string);
    return kAudioHardwareNoError;
}

// ---- AudioHardware: listeners

OSStatus SimAudioSystem::addPropertyListener(AudioObjectID object, const PropertyAddress& address,
                                             dispatch::QueuePtr queue,
                                             PropertyListenerBlock block) {
    Transaction tx(*state_);
    if (auto status = tx.fault(SimCall::AddPropertyListener, address.selector)) return *status;
    if (!queue || !block || !*block) return kAudio_ParamError;
    PropertyValue probe;
    if (state_->readProperty(object, {kAudioObjectPropertyClass}, probe) != 0) {
        return kAudioHardwareBadObjectError;
    }
    state_->listeners.push_back({object, address, std::move(queue), std::move(block)});
    return kAudioHardwareNoError;
}

OSStatus SimAudioSystem::removePropertyListener(AudioObjectID object,
                                                const PropertyAddress& address,
                                                dispatch::QueuePtr queue,
                                                PropertyListenerBlock block) {
    Transaction tx(*state_);
    if (auto status = tx.fault(SimCall::RemovePropertyListener, address.selector)) return *status;
    auto& listeners = state_->listeners;
    auto it = std::find_if(listeners.begin(), listeners.end(), [&](const auto& l) {
        return l.object == object && l.address == address && l.queue == queue && l.block == block;
    });
    if (it == listeners.end()) {
        PropertyValue probe;
        const bool exists = state_->readProperty(object, {kAudioObjectPropertyClass}, probe) == 0;
        return exists ? kAudioHardwareUnknownPropertyError : kAudioHardwareBadObjectError;
    }
    tx.dispose(std::move(it->block));
    listeners.erase(it);
    return kAudioHardwareNoError;
}

// ---- AudioHardware: taps and aggregates

OSStatus SimAudioSystem::createProcessTap(const TapDescription& description,
                                          AudioObjectID& outTapID) {
    auto& s = *state_;
    Transaction tx(s);
    if (auto status = tx.fault(SimCall::CreateProcessTap)) return *status;
    if (description.processes.empty()) return kAudio_ParamError;
    for (AudioObjectID p : description.processes) {
        if (!s.processes.count(p)) return kAudioHardwareBadObjectError;
    }
    SimTap tap;
    tap.description = description;
    tap.channels = description.isMono ? 1 : 2;
    if (description.deviceUID) {
        const SimDevice* d = s.deviceByUID(*description.deviceUID);
        if (!d) return kAudioHardwareBadDeviceError;
        // Devices have a single output stream.
        if (d->stream == 0 || description.stream.value_or(0) != 0)
            return kAudioHardwareBadStreamError;
        tap.channels = d->config.channels;
        tap.sampleRate = d->config.sampleRate;
    } else if (const SimDevice* out = s.device(s.playbackDevice())) {
        tap.sampleRate = out->config.sampleRate;
    }
    tap.uid = description.uuid.empty() ? freshUUID() : description.uuid;
    if (s.tapByUID(tap.uid)) return kAudioHardwareIllegalOperationError;
    tap.id = s.newObjectID();
    outTapID = tap.id;
    s.taps[tap.id] = std::move(tap);
    tx.notify(kAudioObjectSystemObject, kTapListAddress);
    return kAudioHardwareNoError;
}

OSStatus SimAudioSystem::destroyProcessTap(AudioObjectID tap) {
    auto& s = *state_;
    Transaction tx(s);
    if (auto status = tx.fault(SimCall::DestroyProcessTap)) return *status;
    if (s.taps.erase(tap) == 0) return kAudioHardwareBadObjectError;
    tx.notify(kAudioObjectSystemObject, kTapListAddress);
    return kAudioHardwareNoError;
}

OSStatus SimAudioSystem::createAggregateDevice(const AudioValue& description,
                                               AudioObjectID& outDevice) {
    auto& s = *state_;
    Transaction tx(s);
    if (auto status = tx.fault(SimCall::CreateAggregateDevice)) return *status;
    if (!description.asDictionary()) return kAudio_ParamError;
    const auto uid = description.stringAt(kAudioAggregateDeviceUIDKey);
    if (!uid || uid->empty()) return kAudio_ParamError;
    if (s.liveAggregateByUID(*uid) || s.deviceByUID(*uid))
        return kAudioHardwareIllegalOperationError;

    SimAggregate agg;
    agg.uid = *uid;
    agg.name = description.stringAt(kAudioAggregateDeviceNameKey).value_or("");
    agg.description = description;

    std::vector<std::string> subDeviceUIDs;
    if (const AudioValue* list = description.find(kAudioAggregateDeviceSubDeviceListKey)) {
        if (!list->asArray()) return kAudio_ParamError;
        for (const AudioValue& entry : *list->asArray()) {
            const auto subUID = entry.stringAt(kAudioSubDeviceUIDKey);
            if (!subUID) return kAudio_ParamError;
            const SimDevice* d = s.deviceByUID(*subUID);
            if (!d) return kAudioHardwareBadDeviceError;
            agg.subDevices.push_back(d->id);
            subDeviceUIDs.push_back(*subUID);
        }
    }
    if (const AudioValue* list = description.find(kAudioAggregateDeviceTapListKey)) {
        if (!list->asArray()) return kAudio_ParamError;
        for (const AudioValue& entry : *list->asArray()) {
            const auto tapUID = entry.stringAt(kAudioSubTapUIDKey);
            if (!tapUID) return kAudio_ParamError;
            const SimTap* t = s.tapByUID(*tapUID);
            if (!t) return kAudioHardwareBadObjectError;
            agg.taps.push_back(t->id);
            agg.tapUIDs.push_back(*tapUID);
        }
    }

    auto mainUID = description.stringAt(kAudioAggregateDeviceMainSubDeviceKey);
    if (!mainUID) mainUID = description.stringAt(kAudioAggregateDeviceClockDeviceKey);
    if (!mainUID && !subDeviceUIDs.empty()) mainUID = subDeviceUIDs.front();
    const SimDevice* main = mainUID ? s.deviceByUID(*mainUID) : nullptr;
    if (!main) return kAudioHardwareBadDeviceError;
    agg.mainDevice = main->id;
    agg.mainDeviceUID = *mainUID;

    agg.id = s.newObjectID();
    if (main->config.channels > 0) {
        agg.stream = s.newObjectID();
        s.streams[agg.stream] = agg.id;
    }
    outDevice = agg.id;
    s.aggregates[agg.id] = std::move(agg);
    tx.notify(kAudioObjectSystemObject, kDeviceListAddress);
    return kAudioHardwareNoError;
}

OSStatus SimAudioSystem::destroyAggregateDevice(AudioObjectID device) {
    auto& s = *state_;
    Transaction tx(s);
    if (auto status = tx.fault(SimCall::DestroyAggregateDevice)) return *status;
    auto it = s.aggregates.find(device);
    if (it == s.aggregates.end()) return kAudioHardwareBadObjectError;
    const bool wasAlive = it->second.alive;
    s.killAggregate(tx, it->second);
    // Removing callbacks may wait for one in flight, which releases the lock: look up again.
    s.removeIOProcsOf(tx, device);
    it = s.aggregates.find(device);
    if (it != s.aggregates.end()) {
        s.streams.erase(it->second.stream);
        s.aggregates.erase(it);
    }
    // The platform has already forgotten an aggregate that died on its own.
    return wasAlive ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

// ---- AudioHardware: I/O callbacks

OSStatus SimAudioSystem::createIOProcID(AudioObjectID device, dispatch::QueuePtr queue,
                                        IOProcBlock block, IOProcID& outID) {
    auto& s = *state_;
    Transaction tx(s);
    if (auto status = tx.fault(SimCall::CreateIOProcID)) return *status;
    if (!queue || !block) return kAudio_ParamError;

    auto proc = std::make_shared<SimIOProc>();
    const SimDevice* clock = s.device(device);
    if (const SimAggregate* agg = s.liveAggregate(device)) {
        clock = s.device(agg->mainDevice);
        const size_t inputs = std::min<size_t>(agg->taps.size(), AudioBufferList::kCapacity);
        for (size_t i = 0; i < inputs; ++i) {
            auto t = s.taps.find(agg->taps[i]);
            proc->inputChannels.push_back(t == s.taps.end() ? 2 : t->second.channels);
        }
    }
    if (!clock) return kAudioHardwareBadObjectError;

    proc->id = s.nextIOProcID++;
    proc->device = device;
    proc->queue = std::move(queue);
    proc->block = std::move(block);
    proc->frames = clock->config.bufferFrames;
    proc->outputChannels = clock->config.channels;
    proc->output.resize(static_cast<size_t>(proc->frames) * proc->outputChannels);
    for (uint32_t channels : proc->inputChannels) {
        proc->inputs.emplace_back(static_cast<size_t>(proc->frames) * channels);
    }
    outID = proc->id;
    s.ioProcs[proc->id] = std::move(proc);
    return kAudioHardwareNoError;
}

OSStatus SimAudioSystem::destroyIOProcID(AudioObjectID device, IOProcID id) {
    auto& s = *state_;
    Transaction tx(s);
    if (auto status = tx.fault(SimCall::DestroyIOProcID)) return *status;
    auto it = s.ioProcs.find(id);
    if (it == s.ioProcs.end() || it->second->device != device) return kAudioHardwareBadObjectError;
    // The callback goes even when its device already vanished, which is then reported.
    const bool deviceAlive = s.isDeviceOrAggregate(device);
    s.removeIOProc(tx, id);
    return deviceAlive ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

OSStatus SimAudioSystem::deviceStart(AudioObjectID device, IOProcID id) {
    auto& s = *state_;
    Transaction tx(s);
    if (auto status = tx.fault(SimCall::DeviceStart)) return *status;
    if (!s.isDeviceOrAggregate(device)) return kAudioHardwareBadObjectError;
    if (id == 0) return kAudioHardwareNoError;  // the device's own hardware: always running
    auto it = s.ioProcs.find(id);
    if (it == s.ioProcs.end() || it->second->device != device) return kAudioHardwareBadObjectError;
    it->second->started = true;
    return kAudioHardwareNoError;
}

OSStatus SimAudioSystem::deviceStop(AudioObjectID device, IOProcID id) {
    auto& s = *state_;
    Transaction tx(s);
    if (auto status = tx.fault(SimCall::DeviceStop)) return *status;
    if (!s.isDeviceOrAggregate(device)) return kAudioHardwareBadObjectError;
    if (id == 0) return kAudioHardwareNoError;
    auto it = s.ioProcs.find(id);
    if (it == s.ioProcs.end() || it->second->device != device) return kAudioHardwareBadObjectError;
    it->second->started = false;
    return kAudioHardwareNoError;
}

}  // namespace tobble::audio::sim
