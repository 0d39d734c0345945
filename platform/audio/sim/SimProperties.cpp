// Property reads and writes of the simulated objects.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/audio/sim/SimCore.h"

namespace tobble::audio::sim::detail {

namespace {

PropertyValue u32(uint32_t v) { return PropertyValue::of(v); }

// 'slay': a buffer count, then one AudioBuffer record per buffer with only the channel count.
PropertyValue streamConfiguration(uint32_t channels) {
    StreamConfigurationHeader header;
    header.mNumberBuffers = channels > 0 ? 1 : 0;
    std::vector<uint8_t> bytes(sizeof(header) + header.mNumberBuffers * sizeof(AudioBuffer));
    std::memcpy(bytes.data(), &header, sizeof(header));
    if (channels > 0) {
        AudioBuffer buffer;
        buffer.mNumberChannels = channels;
        std::memcpy(bytes.data() + sizeof(header), &buffer, sizeof(buffer));
    }
    return PropertyValue::ofBytes(bytes.data(), bytes.size());
}

bool isOutputSide(const PropertyAddress& a) {
    return a.scope == kAudioObjectPropertyScopeOutput || a.scope == kAudioObjectPropertyScopeGlobal;
}

// Properties every device-like object answers the same way.
std::optional<PropertyValue> commonDeviceProperty(const PropertyAddress& a, AudioObjectID stream,
                                                  uint32_t channels, bool running) {
    switch (a.selector) {
        case kAudioDevicePropertyDeviceIsAlive:
            return u32(1);
        case kAudioDevicePropertyDeviceIsRunning:
            return u32(running ? 1 : 0);
        case kAudioDevicePropertyStreams:
            if (isOutputSide(a) && stream != 0) return PropertyValue::ofObjects({stream});
            return PropertyValue::ofObjects({});
        case kAudioDevicePropertyStreamConfiguration:
            return streamConfiguration(isOutputSide(a) ? channels : 0);
        default:
            return std::nullopt;
    }
}

}  // namespace

float SimDevice::mainVolume() const {
    if (channelVolumes.empty()) return 0.0f;
    return *std::max_element(channelVolumes.begin(), channelVolumes.end());
}

OSStatus SimCore::readProperty(AudioObjectID object, const PropertyAddress& a,
                               PropertyValue& out) const {
    if (object == kAudioObjectSystemObject) {
        switch (a.selector) {
            case kAudioObjectPropertyClass:
                out = u32(kAudioSystemObjectClassID);
                return 0;
            case kAudioHardwarePropertyDevices:
                out = PropertyValue::ofObjects(deviceList());
                return 0;
            case kAudioHardwarePropertyDefaultOutputDevice:
            case kAudioHardwarePropertyDefaultSystemOutputDevice:
                out = u32(defaultOutput);
                return 0;
            case kAudioHardwarePropertyProcessObjectList: {
                std::vector<AudioObjectID> ids;
                for (const auto& [id, p] : processes) ids.push_back(id);
                out = PropertyValue::ofObjects(std::move(ids));
                return 0;
            }
            case kAudioHardwarePropertyTapList: {
                std::vector<AudioObjectID> ids;
                for (const auto& [id, t] : taps) ids.push_back(id);
                out = PropertyValue::ofObjects(std::move(ids));
                return 0;
            }
            default:
                return kAudioHardwareUnknownPropertyError;
        }
    }

    if (const SimDevice* d = device(object)) {
        const auto& c = d->config;
        if (auto v = commonDeviceProperty(a, d->stream, c.channels, hasStartedCallback(d->id))) {
            out = std::move(*v);
            return 0;
        }
        switch (a.selector) {
            case kAudioObjectPropertyClass:
                out = u32(kAudioDeviceClassID);
                return 0;
            case kAudioDevicePropertyDeviceUID:
                out = PropertyValue::ofString(c.uid);
                return 0;
            case kAudioObjectPropertyName:
                out = PropertyValue::ofString(c.name);
                return 0;
            case kAudioDevicePropertyTransportType:
                out = u32(c.transportType);
                return 0;
            case kAudioDevicePropertyNominalSampleRate:
                out = PropertyValue::of(c.sampleRate);
                return 0;
            case kAudioDevicePropertyBufferFrameSize:
                out = u32(c.bufferFrames);
                return 0;
            default:
                break;
        }
        const bool volumeAddress =
            c.hasVolumeControl && c.channels > 0 && a.scope == kAudioObjectPropertyScopeOutput;
        switch (a.selector) {
            case kAudioHardwareServiceDeviceProperty_VirtualMainVolume:
                if (!volumeAddress || a.element != kAudioObjectPropertyElementMain) break;
                out = PropertyValue::of(d->mainVolume());
                return 0;
            case kAudioDevicePropertyVolumeScalar:
                if (!volumeAddress || a.element < 1 || a.element > c.channels) break;
                out = PropertyValue::of(d->channelVolumes[a.element - 1]);
                return 0;
            case kAudioDevicePropertyMute:
                if (!volumeAddress || a.element != kAudioObjectPropertyElementMain) break;
                out = u32(d->muted ? 1 : 0);
                return 0;
            default:
                break;
        }
        return kAudioHardwareUnknownPropertyError;
    }

    if (const SimAggregate* agg = liveAggregate(object)) {
        const SimDevice* main = device(agg->mainDevice);
        const uint32_t channels = main ? main->config.channels : 0;
        if (auto v = commonDeviceProperty(a, agg->stream, channels, hasStartedCallback(agg->id))) {
            out = std::move(*v);
            return 0;
        }
        switch (a.selector) {
            case kAudioObjectPropertyClass:
                out = u32(kAudioAggregateDeviceClassID);
                return 0;
            case kAudioDevicePropertyDeviceUID:
                out = PropertyValue::ofString(agg->uid);
                return 0;
            case kAudioObjectPropertyName:
                out = PropertyValue::ofString(agg->name);
                return 0;
            case kAudioDevicePropertyTransportType:
                out = u32(kAudioDeviceTransportTypeAggregate);
                return 0;
            case kAudioDevicePropertyNominalSampleRate:
                out = PropertyValue::of(main ? main->config.sampleRate : 0.0);
                return 0;
            case kAudioDevicePropertyBufferFrameSize:
                out = u32(main ? main->config.bufferFrames : 0);
                return 0;
            case kAudioAggregateDevicePropertyTapList: {
                std::vector<AudioObjectID> live;
                for (AudioObjectID tap : agg->taps) {
                    if (taps.count(tap)) live.push_back(tap);
                }
                out = PropertyValue::ofObjects(std::move(live));
                return 0;
            }
            default:
                return kAudioHardwareUnknownPropertyError;
        }
    }

    if (auto it = processes.find(object); it != processes.end()) {
        const SimProcess& p = it->second;
        switch (a.selector) {
            case kAudioObjectPropertyClass:
                out = u32(kAudioProcessClassID);
                return 0;
            case kAudioProcessPropertyPID:
                out = PropertyValue::of(static_cast<int32_t>(p.pid));
                return 0;
            case kAudioProcessPropertyBundleID:
                out = PropertyValue::ofString(p.bundleID);
                return 0;
            case kAudioProcessPropertyIsRunning:
                out = u32(p.running ? 1 : 0);
                return 0;
            case kAudioProcessPropertyIsRunningOutput:
                out = u32(p.runningOutput ? 1 : 0);
                return 0;
            default:
                return kAudioHardwareUnknownPropertyError;
        }
    }

    if (auto it = taps.find(object); it != taps.end()) {
        const SimTap& t = it->second;
        switch (a.selector) {
            case kAudioObjectPropertyClass:
                out = u32(kAudioTapClassID);
                return 0;
            case kAudioTapPropertyUID:
                out = PropertyValue::ofString(t.uid);
                return 0;
            case kAudioObjectPropertyName:
                out = PropertyValue::ofString(t.description.name);
                return 0;
            case kAudioTapPropertyFormat: {
                AudioStreamBasicDescription f;
                f.mSampleRate = t.sampleRate;
                f.mFormatID = kAudioFormatLinearPCM;
                f.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
                f.mBytesPerFrame = t.channels * sizeof(float);
                f.mBytesPerPacket = f.mBytesPerFrame;
                f.mFramesPerPacket = 1;
                f.mChannelsPerFrame = t.channels;
                f.mBitsPerChannel = 32;
                out = PropertyValue::of(f);
                return 0;
            }
            default:
                return kAudioHardwareUnknownPropertyError;
        }
    }

    if (streams.count(object)) {
        if (a.selector == kAudioObjectPropertyClass) {
            out = u32(kAudioStreamClassID);
            return 0;
        }
        return kAudioHardwareUnknownPropertyError;
    }

    return kAudioHardwareBadObjectError;
}

OSStatus SimCore::writeProperty(Transaction& tx, AudioObjectID object, const PropertyAddress& a,
                                uint32_t size, const void* data) {
    PropertyValue current;
    if (const OSStatus status = readProperty(object, a, current); status != 0) return status;
    if (current.kind != PropertyValue::Kind::Fixed) return kAudioHardwareIllegalOperationError;
    if (data == nullptr) return kAudio_ParamError;
    if (size < current.byteSize()) return kAudioHardwareBadPropertySizeError;

    uint32_t word = 0;
    float scalar = 0;
    std::memcpy(&word, data, sizeof(word));
    std::memcpy(&scalar, data, sizeof(scalar));

    if (object == kAudioObjectSystemObject &&
        (a.selector == kAudioHardwarePropertyDefaultOutputDevice ||
         a.selector == kAudioHardwarePropertyDefaultSystemOutputDevice)) {
        if (outputChannels(word) == 0) return kAudioHardwareBadDeviceError;
        setDefaultOutput(tx, word);
        return 0;
    }
    if (SimDevice* d = device(object)) {
        switch (a.selector) {
            case kAudioHardwareServiceDeviceProperty_VirtualMainVolume:
            case kAudioDevicePropertyVolumeScalar: {
                if (std::isnan(scalar)) return kAudio_ParamError;
                std::optional<uint32_t> channel;
                if (a.selector == kAudioDevicePropertyVolumeScalar) channel = a.element - 1;
                setVolume(tx, *d, channel, scalar);
                return 0;
            }
            case kAudioDevicePropertyMute:
                setMuted(tx, *d, word != 0);
                return 0;
            default:
                break;
        }
    }
    return kAudioHardwareIllegalOperationError;
}

}  // namespace tobble::audio::sim::detail
