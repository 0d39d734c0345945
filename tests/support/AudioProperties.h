#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/audio/AudioHardware.h"

// Property reads through the audio interface, as the engine makes them, for the tests of its
// implementations (the simulated system and the PipeWire backend).
namespace tobble::testing {

inline audio::PropertyAddress global(uint32_t selector) { return {selector}; }
inline audio::PropertyAddress output(uint32_t selector, uint32_t element = 0) {
    return {selector, audio::kAudioObjectPropertyScopeOutput, element};
}

// The status of a fixed-size read into `value`.
template <typename T>
audio::OSStatus read(audio::AudioHardware& hw, audio::AudioObjectID object,
                     const audio::PropertyAddress& address, T& value) {
    uint32_t size = sizeof(T);
    return hw.getPropertyData(object, address, size, &value);
}

// The status of writing `value`.
template <typename T>
audio::OSStatus write(audio::AudioHardware& hw, audio::AudioObjectID object,
                      const audio::PropertyAddress& address, const T& value) {
    return hw.setPropertyData(object, address, sizeof(T), &value);
}

// The value, or nothing when the read fails.
template <typename T>
std::optional<T> valueOf(audio::AudioHardware& hw, audio::AudioObjectID object,
                         const audio::PropertyAddress& address) {
    T value{};
    if (read(hw, object, address, value) != audio::kAudioHardwareNoError) return std::nullopt;
    return value;
}

inline std::vector<audio::AudioObjectID> readIDs(audio::AudioHardware& hw,
                                                 audio::AudioObjectID object,
                                                 const audio::PropertyAddress& address) {
    uint32_t size = 0;
    if (hw.getPropertyDataSize(object, address, size) != audio::kAudioHardwareNoError) return {};
    std::vector<audio::AudioObjectID> ids(size / sizeof(audio::AudioObjectID));
    if (ids.empty() || hw.getPropertyData(object, address, size, ids.data()) != 0) return {};
    ids.resize(size / sizeof(audio::AudioObjectID));
    return ids;
}

inline std::optional<std::string> readString(audio::AudioHardware& hw, audio::AudioObjectID object,
                                             uint32_t selector) {
    std::optional<std::string> value;
    if (hw.getPropertyString(object, {selector}, value) != audio::kAudioHardwareNoError)
        return std::nullopt;
    return value;
}

// The device whose UID is `uid`, or kAudioObjectUnknown.
inline audio::AudioObjectID deviceWithUID(audio::AudioHardware& hw, const std::string& uid) {
    for (auto id : readIDs(hw, audio::kAudioObjectSystemObject,
                           global(audio::kAudioHardwarePropertyDevices))) {
        if (readString(hw, id, audio::kAudioDevicePropertyDeviceUID) == uid) return id;
    }
    return audio::kAudioObjectUnknown;
}

}  // namespace tobble::testing
