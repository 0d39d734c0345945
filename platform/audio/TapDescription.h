#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/audio/AudioTypes.h"

namespace tobble::audio {

enum class TapMuteBehavior : int {
    Unmuted = 0,          // the processes are heard directly as well
    Muted = 1,            // silenced at the real output while the tap exists
    MutedWhenTapped = 2,  // silenced at the real output only while the tap is being read
};

// What a process tap captures and how it appears.
struct TapDescription {
    std::vector<AudioObjectID> processes;  // process objects, as given (callers sort)
    std::string uuid;                      // canonical text form
    std::string name;
    TapMuteBehavior muteBehavior = TapMuteBehavior::Unmuted;
    bool isPrivate = false;
    bool isMixdown = true;  // stereo mixdown of the processes' output
    bool isMono = false;
    // Stream-specific taps capture one output stream of one device.
    std::optional<std::string> deviceUID;
    std::optional<uint32_t> stream;

    static TapDescription stereoMixdown(std::vector<AudioObjectID> processes) {
        TapDescription d;
        d.processes = std::move(processes);
        return d;
    }

    static TapDescription streamSpecific(std::vector<AudioObjectID> processes,
                                         std::string deviceUID, uint32_t stream) {
        TapDescription d;
        d.processes = std::move(processes);
        d.isMixdown = false;
        d.deviceUID = std::move(deviceUID);
        d.stream = stream;
        return d;
    }
};

}  // namespace tobble::audio
