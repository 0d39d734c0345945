// The AudioHardware calls of the simulated system: properties, listeners, taps, aggregates and
// I/O callbacks. The sim's own control surface is in SimAudioSystem.cpp.
#include <algorithm>
#include <cstring>

#include "platform/audio/sim/SimAudioSystem.h"
#include "platform/audio/sim/SimCore.h"

namespace tobble::audio::sim {

using detail::PropertyValue;
using detail::SimAggregate;
using detail::SimDevice;
using detail::SimIOProc;
using detail::SimTap;
using detail::Transaction;

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
    tap.uid = description.uuid.empty() ? detail::freshUUID() : description.uuid;
    if (s.tapByUID(tap.uid)) return kAudioHardwareIllegalOperationError;
    tap.id = s.newObjectID();
    outTapID = tap.id;
    s.taps[tap.id] = std::move(tap);
    tx.notify(kAudioObjectSystemObject, detail::kTapListAddress);
    return kAudioHardwareNoError;
}

OSStatus SimAudioSystem::destroyProcessTap(AudioObjectID tap) {
    auto& s = *state_;
    Transaction tx(s);
    if (auto status = tx.fault(SimCall::DestroyProcessTap)) return *status;
    if (s.taps.erase(tap) == 0) return kAudioHardwareBadObjectError;
    tx.notify(kAudioObjectSystemObject, detail::kTapListAddress);
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
    tx.notify(kAudioObjectSystemObject, detail::kDeviceListAddress);
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
