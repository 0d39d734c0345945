#include "engine/core/TAKCoreAudio.h"

#include <algorithm>

namespace tobble::engine {

using namespace audio;

std::vector<AudioObjectID> TAKCoreAudio::getPropertyArray(AudioObjectID object, uint32_t selector,
                                                          uint32_t scope, uint32_t element) const {
    const PropertyAddress address{selector, scope, element};
    uint32_t size = 0;
    OSStatus status = hardware_.getPropertyDataSize(object, address, size);
    if (status != kAudioHardwareNoError) {
        throw TAKError::status(status, "AudioObjectGetPropertyDataSize(" + fourCC(selector) + ")");
    }
    if (size < sizeof(AudioObjectID)) return {};

    // Whole ids only: a size that is not a multiple of four is rounded down.
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    uint32_t byteCount = static_cast<uint32_t>(ids.size() * sizeof(AudioObjectID));
    status = hardware_.getPropertyData(object, address, byteCount, ids.data());
    if (status != kAudioHardwareNoError) {
        throw TAKError::status(status, "AudioObjectGetPropertyData(" + fourCC(selector) + ")");
    }
    // The object may have shrunk between the two calls: keep what was actually delivered.
    ids.resize(std::min<size_t>(ids.size(), byteCount / sizeof(AudioObjectID)));
    return ids;
}

std::optional<std::vector<AudioObjectID>> TAKCoreAudio::readPropertyArray(AudioObjectID object,
                                                                          uint32_t selector,
                                                                          uint32_t scope) const {
    try {
        return getPropertyArray(object, selector, scope);
    } catch (const TAKError&) {
        return std::nullopt;
    }
}

bool TAKCoreAudio::isBluetooth(AudioObjectID device) const {
    const auto transport = readProperty<uint32_t>(device, kAudioDevicePropertyTransportType);
    return transport == kAudioDeviceTransportTypeBluetooth ||
           transport == kAudioDeviceTransportTypeBluetoothLE;
}

std::optional<std::string> TAKCoreAudio::getStringProperty(AudioObjectID object, uint32_t selector,
                                                           uint32_t scope) const {
    std::optional<std::string> value;
    const OSStatus status = hardware_.getPropertyString(
        object, {selector, scope, kAudioObjectPropertyElementMain}, value);
    if (status != kAudioHardwareNoError) return std::nullopt;
    return value;
}

std::optional<AudioObjectID> TAKCoreAudio::defaultOutputDevice() const {
    AudioObjectID device = kAudioObjectUnknown;
    uint32_t size = sizeof(device);
    const OSStatus status = hardware_.getPropertyData(
        kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice}, size, &device);
    if (status != kAudioHardwareNoError || size != sizeof(device) || device == kAudioObjectUnknown)
        return std::nullopt;
    return device;
}

std::optional<AudioObjectID> TAKCoreAudio::deviceID(const std::string& uid) const {
    const auto devices = readPropertyArray(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    if (!devices) return std::nullopt;
    for (AudioObjectID device : *devices) {
        auto deviceUID = getStringProperty(device, kAudioDevicePropertyDeviceUID);
        if (deviceUID && *deviceUID == uid) return device;
    }
    return std::nullopt;
}

}  // namespace tobble::engine
