// What applications say about themselves on their playback streams, for the processes that no
// desktop entry describes (a game, a player started from a terminal).
#include "platform/audio/pipewire/PwState.h"

namespace tobble::audio::pipewire {

std::string PipeWireAudioHardware::recognisableName(const std::string& applicationName,
                                                    const std::string& binary) {
    // Transports name the stream after themselves and put the program in brackets:
    // "PipeWire ALSA [aplay]" (pipewire-alsa), "ALSA plug-in [aplay]" (the PulseAudio plug-in).
    for (const std::string_view prefix : {"PipeWire ALSA [", "ALSA plug-in ["}) {
        if (applicationName.starts_with(prefix) && applicationName.ends_with(']') &&
            applicationName.size() > prefix.size() + 1) {
            return applicationName.substr(prefix.size(),
                                          applicationName.size() - prefix.size() - 1);
        }
    }
    return applicationName.empty() ? binary : applicationName;
}

std::optional<system::ApplicationDetails> PipeWireAudioHardware::streamApplication(
    pid_t pid) const {
    auto& s = *state_;
    detail::Locked lock(s.loop);
    for (const auto& [id, node] : s.nodes) {
        if (node->mediaClass != "Stream/Output/Audio" || s.streamPid(*node) != pid) continue;
        const std::string name = recognisableName(s.streamProp(*node, PW_KEY_APP_NAME),
                                                  s.streamProp(*node, PW_KEY_APP_PROCESS_BINARY));
        const std::string icon = s.streamProp(*node, PW_KEY_APP_ICON_NAME);
        if (name.empty() && icon.empty()) continue;
        system::ApplicationDetails details;
        if (auto process = s.processes.find(pid); process != s.processes.end()) {
            details.bundleID = process->second.bundleID;
        }
        if (!name.empty()) details.localizedName = name;
        details.icon = icon.empty()
                           ? system::IconHandle{system::IconHandle::Kind::Generic, {}, 0}
                           : system::IconHandle{system::IconHandle::Kind::ThemeName, icon, 0};
        return details;
    }
    return std::nullopt;
}

}  // namespace tobble::audio::pipewire
