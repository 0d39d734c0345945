// What applications say about themselves on their playback streams, for the processes that no
// desktop entry describes (a game, a player started from a terminal).
#include "platform/audio/pipewire/PwState.h"

namespace tobble::audio::pipewire {

std::optional<system::ApplicationDetails> PipeWireAudioHardware::streamApplication(
    pid_t pid) const {
    auto& s = *state_;
    detail::Locked lock(s.loop);
    for (const auto& [id, node] : s.nodes) {
        if (node->mediaClass != "Stream/Output/Audio" || s.streamPid(*node) != pid) continue;
        const std::string name = s.streamProp(*node, PW_KEY_APP_NAME);
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
