#include "shell/Notifications.h"

#include <vector>

namespace tobble::shell {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::observe(std::string name,
                                                      std::function<void()> handler) {
    const uint64_t id = nextID_++;
    (*observers_)[id] = Entry{std::move(name), std::move(handler)};
    std::weak_ptr<std::map<uint64_t, Entry>> weak = observers_;
    return std::shared_ptr<void>(nullptr, [weak, id](void*) {
        if (auto observers = weak.lock()) observers->erase(id);
    });
}

void NotificationCenter::post(std::string_view name) {
    // Observers may add or remove observers while being told, so the matching handlers are
    // collected first and each is checked to still be registered before it runs.
    std::vector<uint64_t> ids;
    for (const auto& [id, entry] : *observers_) {
        if (entry.name == name) ids.push_back(id);
    }
    for (uint64_t id : ids) {
        auto it = observers_->find(id);
        if (it == observers_->end()) continue;
        auto handler = it->second.handler;
        if (handler) handler();
    }
}

size_t NotificationCenter::observerCount(std::string_view name) const {
    size_t n = 0;
    for (const auto& [id, entry] : *observers_) n += entry.name == name ? 1 : 0;
    return n;
}

}  // namespace tobble::shell
