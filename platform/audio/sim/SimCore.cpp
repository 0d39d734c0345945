#include "platform/audio/sim/SimCore.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tobble::audio::sim::detail {

namespace {

constexpr uint32_t kWildcard = fourCharCode("****");
constexpr uint32_t kElementWildcard = 0xFFFFFFFFu;

bool listensTo(const PropertyAddress& registered, const PropertyAddress& changed) {
    return (registered.selector == kWildcard || registered.selector == changed.selector) &&
           (registered.scope == kWildcard || registered.scope == changed.scope) &&
           (registered.element == kElementWildcard || registered.element == changed.element);
}

}  // namespace

std::string freshUUID() {
    uuid_t raw;
    uuid_generate_random(raw);
    char text[37];
    uuid_unparse_upper(raw, text);
    return text;
}

// ---- PropertyValue

PropertyValue PropertyValue::ofBytes(const void* data, size_t size) {
    PropertyValue v;
    v.kind = Kind::Fixed;
    v.bytes.resize(size);
    std::memcpy(v.bytes.data(), data, size);
    return v;
}

PropertyValue PropertyValue::ofObjects(std::vector<AudioObjectID> objects) {
    PropertyValue v;
    v.kind = Kind::ObjectList;
    v.objects = std::move(objects);
    return v;
}

PropertyValue PropertyValue::ofString(std::optional<std::string> string) {
    PropertyValue v;
    v.kind = Kind::String;
    v.string = std::move(string);
    return v;
}

uint32_t PropertyValue::byteSize() const {
    switch (kind) {
        case Kind::Fixed:
            return static_cast<uint32_t>(bytes.size());
        case Kind::ObjectList:
            return static_cast<uint32_t>(objects.size() * sizeof(AudioObjectID));
        case Kind::String:
            return 8;
    }
    return 0;
}

// ---- Transaction

Transaction::Transaction(SimCore& core) : core_(core), lock_(core.mutex) {}

Transaction::~Transaction() {
    lock_.unlock();
    for (auto& n : notifications_) {
        n.queue->async([block = std::move(n.block), object = n.object, address = n.address] {
            (*block)(object, std::span<const PropertyAddress>(&address, 1));
        });
    }
    garbage_.clear();
}

std::optional<OSStatus> Transaction::fault(SimCall call, std::optional<uint32_t> selector) {
    return core_.faults.onCall(call, selector);
}

void Transaction::notify(AudioObjectID object, const PropertyAddress& address) {
    for (const auto& l : core_.listeners) {
        if (l.object == object && listensTo(l.address, address)) {
            notifications_.push_back({l.queue, l.block, object, address});
        }
    }
}

// ---- SimCore: lookups

SimCore::SimCore(dispatch::Dispatcher& d)
    : dispatcher(d), gate(std::make_shared<CycleGate>(this)) {}

SimCore::~SimCore() = default;

SimDevice* SimCore::device(AudioObjectID id) const {
    auto it = devices.find(id);
    return it == devices.end() ? nullptr : it->second.get();
}

SimDevice* SimCore::deviceByUID(std::string_view uid) const {
    for (const auto& [id, d] : devices) {
        if (d->config.uid == uid) return d.get();
    }
    return nullptr;
}

SimAggregate* SimCore::liveAggregate(AudioObjectID id) {
    auto it = aggregates.find(id);
    return it == aggregates.end() || !it->second.alive ? nullptr : &it->second;
}

const SimAggregate* SimCore::liveAggregate(AudioObjectID id) const {
    auto it = aggregates.find(id);
    return it == aggregates.end() || !it->second.alive ? nullptr : &it->second;
}

const SimAggregate* SimCore::liveAggregateByUID(std::string_view uid) const {
    for (const auto& [id, a] : aggregates) {
        if (a.alive && a.uid == uid) return &a;
    }
    return nullptr;
}

const SimTap* SimCore::tapByUID(std::string_view uid) const {
    for (const auto& [id, t] : taps) {
        if (t.uid == uid) return &t;
    }
    return nullptr;
}

bool SimCore::isDeviceOrAggregate(AudioObjectID id) const {
    return device(id) != nullptr || liveAggregate(id) != nullptr;
}

uint32_t SimCore::outputChannels(AudioObjectID id) const {
    if (const auto* d = device(id)) return d->config.channels;
    if (const auto* a = liveAggregate(id)) return outputChannels(a->mainDevice);
    return 0;
}

std::vector<AudioObjectID> SimCore::deviceList() const {
    std::vector<AudioObjectID> ids;
    for (const auto& [id, d] : devices) ids.push_back(id);
    for (const auto& [id, a] : aggregates) {
        if (a.alive) ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());  // ids are handed out in creation order
    return ids;
}

AudioObjectID SimCore::playbackDevice() const {
    if (device(defaultOutput)) return defaultOutput;
    if (const auto* a = liveAggregate(defaultOutput)) return a->mainDevice;
    return kAudioObjectUnknown;
}

bool SimCore::hasStartedCallback(AudioObjectID id) const {
    return std::any_of(ioProcs.begin(), ioProcs.end(), [&](const auto& entry) {
        return entry.second->device == id && entry.second->started.load();
    });
}

// ---- SimCore: changes

void SimCore::setDefaultOutput(Transaction& tx, AudioObjectID id) {
    if (id == defaultOutput) return;
    defaultOutput = id;
    tx.notify(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice});
    tx.notify(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultSystemOutputDevice});
}

void SimCore::ensureDefaultOutput(Transaction& tx) {
    if (outputChannels(defaultOutput) > 0) return;
    AudioObjectID next = kAudioObjectUnknown;
    for (const auto& [id, d] : devices) {
        if (d->config.channels > 0) {
            next = id;
            break;
        }
    }
    setDefaultOutput(tx, next);
}

void SimCore::setVolume(Transaction& tx, SimDevice& d, std::optional<uint32_t> channel,
                        float volume) {
    volume = std::clamp(volume, 0.0f, 1.0f);
    bool changed = false;
    for (uint32_t ch = 0; ch < d.channelVolumes.size(); ++ch) {
        if (channel && *channel != ch) continue;
        if (d.channelVolumes[ch] == volume) continue;
        d.channelVolumes[ch] = volume;
        changed = true;
        tx.notify(d.id,
                  {kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput, ch + 1});
    }
    if (changed) {
        tx.notify(d.id, {kAudioHardwareServiceDeviceProperty_VirtualMainVolume,
                         kAudioObjectPropertyScopeOutput, kAudioObjectPropertyElementMain});
    }
}

void SimCore::setMuted(Transaction& tx, SimDevice& d, bool muted) {
    if (d.muted == muted) return;
    d.muted = muted;
    tx.notify(d.id, {kAudioDevicePropertyMute, kAudioObjectPropertyScopeOutput,
                     kAudioObjectPropertyElementMain});
}

void SimCore::setProcessState(Transaction& tx, SimProcess& p, bool running, bool runningOutput) {
    if (p.running != running) {
        p.running = running;
        tx.notify(p.id, {kAudioProcessPropertyIsRunning});
    }
    if (p.runningOutput != runningOutput) {
        p.runningOutput = runningOutput;
        tx.notify(p.id, {kAudioProcessPropertyIsRunningOutput});
    }
}

void SimCore::killAggregate(Transaction& tx, SimAggregate& a) {
    if (!a.alive) return;
    a.alive = false;
    // Callbacks stop with the device; their records stay so the owner can still remove them.
    for (auto& [id, proc] : ioProcs) {
        if (proc->device == a.id) proc->started = false;
    }
    tx.notify(a.id, kIsAliveAddress);
    tx.notify(kAudioObjectSystemObject, kDeviceListAddress);
    if (defaultOutput == a.id) ensureDefaultOutput(tx);
}

void SimCore::removeIOProc(Transaction& tx, IOProcID id) {
    auto it = ioProcs.find(id);
    if (it == ioProcs.end()) return;
    std::shared_ptr<SimIOProc> proc = it->second;
    ioProcs.erase(it);
    proc->started = false;
    proc->destroyed = true;
    // A cycle that already handed out the buffers checks `destroyed` right before the call, so
    // only a call already under way can still be running. Wait for it, unless this is its own
    // queue (the block itself, or a task the cycle's call is queued behind) or its own thread.
    const bool onItsQueue = proc->queue->isCurrent();
    const bool onItsThread = proc->inFlight && proc->inFlightThread == std::this_thread::get_id();
    if (!onItsQueue && !onItsThread) {
        callbackLanded.wait(tx.lock(), [&] { return !proc->inFlight; });
        tx.dispose(std::move(proc->block));
    }
    tx.dispose(std::move(proc));
}

void SimCore::removeIOProcsOf(Transaction& tx, AudioObjectID deviceOrAggregate) {
    std::vector<IOProcID> doomed;
    for (const auto& [id, proc] : ioProcs) {
        if (proc->device == deviceOrAggregate) doomed.push_back(id);
    }
    for (IOProcID id : doomed) removeIOProc(tx, id);
}

}  // namespace tobble::audio::sim::detail
