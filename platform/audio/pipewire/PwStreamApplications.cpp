// What applications say about themselves on their playback streams, for the processes that no
// desktop entry describes (a game, a player started from a terminal).
#include "platform/audio/pipewire/PwState.h"

namespace tobble::audio::pipewire {

std::optional<system::ApplicationDetails> PipeWireAudioHardware::streamApplication(pid_t pid) const {
    auto& s = *state_;
    std::optional<system::ApplicationDetails> found;
    pw_thread_loop_lock(s.loop);
    for (const auto& [id, node] : s.nodes) {
        if (node->mediaClass != "Stream/Output/Audio" || s.streamPid(*node) != pid) continue;
        // Native clients put the application's properties on the client, the pulse bridge on
        // the stream.
        const detail::Props* client = nullptr;
        const std::string clientId = detail::prop(node->props, PW_KEY_CLIENT_ID);
        if (!clientId.empty()) {
            auto it = s.clients.find(static_cast<uint32_t>(std::strtoul(clientId.c_str(), nullptr, 10)));
            if (it != s.clients.end()) client = &it->second->props;
        }
        auto read = [&](const char* key) {
            std::string v = detail::prop(node->props, key);
            if (v.empty() && client) v = detail::prop(*client, key);
            return v;
        };
        const std::string name = read(PW_KEY_APP_NAME);
        const std::string icon = read(PW_KEY_APP_ICON_NAME);
        if (name.empty() && icon.empty()) continue;
        system::ApplicationDetails details;
        if (auto process = s.processes.find(pid); process != s.processes.end()) {
            details.bundleID = process->second.bundleID;
        }
        if (!name.empty()) details.localizedName = name;
        details.icon = icon.empty() ? system::IconHandle{system::IconHandle::Kind::Generic, {}, 0}
                                    : system::IconHandle{system::IconHandle::Kind::ThemeName, icon, 0};
        found = std::move(details);
        break;
    }
    pw_thread_loop_unlock(s.loop);
    return found;
}

}  // namespace tobble::audio::pipewire
