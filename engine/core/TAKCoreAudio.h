#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/core/FourCC.h"
#include "engine/core/TAKError.h"
#include "platform/audio/AudioHardware.h"

namespace tobble::engine {

// Typed property reads over the audio hardware interface. A read that may fail returns an empty
// optional (readProperty, readPropertyArray, getStringProperty); getPropertyArray throws a
// TAKError carrying the status, for the listings whose callers report it or unwind. Nothing here
// logs: callers word their own lines.
// Not for the real-time thread: reads allocate and may block in the audio server.
class TAKCoreAudio {
  public:
    explicit TAKCoreAudio(audio::AudioHardware& hardware) : hardware_(hardware) {}

    // Reads exactly sizeof(T) bytes of a fixed-size value; nothing when the read fails.
    template <typename T>
    std::optional<T> readProperty(audio::AudioObjectID object, uint32_t selector,
                                  uint32_t scope = audio::kAudioObjectPropertyScopeGlobal,
                                  uint32_t element = audio::kAudioObjectPropertyElementMain) const {
        static_assert(std::is_trivially_copyable_v<T>);
        T value{};
        uint32_t size = sizeof(T);
        if (hardware_.getPropertyData(object, {selector, scope, element}, size, &value) !=
            audio::kAudioHardwareNoError) {
            return std::nullopt;
        }
        return value;
    }

    // Reads an array of object ids (device list, process list, a device's streams).
    std::vector<audio::AudioObjectID> getPropertyArray(
        audio::AudioObjectID object, uint32_t selector,
        uint32_t scope = audio::kAudioObjectPropertyScopeGlobal,
        uint32_t element = audio::kAudioObjectPropertyElementMain) const;
    // The same; nothing when the read fails.
    std::optional<std::vector<audio::AudioObjectID>> readPropertyArray(
        audio::AudioObjectID object, uint32_t selector,
        uint32_t scope = audio::kAudioObjectPropertyScopeGlobal) const;

    // Whether `device` is a Bluetooth output; false when its transport cannot be read.
    bool isBluetooth(audio::AudioObjectID device) const;

    // A string property at element 0; empty on any failure or a null string. Never throws.
    std::optional<std::string> getStringProperty(
        audio::AudioObjectID object, uint32_t selector,
        uint32_t scope = audio::kAudioObjectPropertyScopeGlobal) const;

    // The system's default output device; nothing when it cannot be read or there is none.
    std::optional<audio::AudioObjectID> defaultOutputDevice() const;

    // The first device in the device list whose UID equals `uid` exactly.
    std::optional<audio::AudioObjectID> deviceID(const std::string& uid) const;

    audio::AudioHardware& hardware() const { return hardware_; }

  private:
    audio::AudioHardware& hardware_;
};

// What a removal's status says about the object. "No such object" means it is gone already, and
// a stop answered with "not running" has nothing left to stop; anything else is worth another try.
inline bool isRemoved(audio::OSStatus status) {
    return status == audio::kAudioHardwareNoError || status == audio::kAudioHardwareBadObjectError;
}
inline bool isStopped(audio::OSStatus status) {
    return isRemoved(status) || status == audio::kAudioHardwareNotRunningError;
}

}  // namespace tobble::engine
