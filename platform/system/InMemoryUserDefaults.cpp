#include "platform/system/InMemoryUserDefaults.h"

namespace tobble::system {

std::optional<DefaultsValue> InMemoryUserDefaults::object(std::string_view key) const {
    std::lock_guard lock(mutex_);
    if (auto it = values_.find(key); it != values_.end()) return it->second;
    if (auto it = registered_.find(key); it != registered_.end()) return it->second;
    return std::nullopt;
}

void InMemoryUserDefaults::set(std::string_view key, DefaultsValue value) {
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(std::string(key), std::move(value));
}

void InMemoryUserDefaults::remove(std::string_view key) {
    std::lock_guard lock(mutex_);
    if (auto it = values_.find(key); it != values_.end()) values_.erase(it);
}

void InMemoryUserDefaults::registerDefaults(const std::map<std::string, DefaultsValue>& defaults) {
    std::lock_guard lock(mutex_);
    for (const auto& [k, v] : defaults) registered_.insert_or_assign(k, v);
}

std::map<std::string, DefaultsValue> InMemoryUserDefaults::storedValues() const {
    std::lock_guard lock(mutex_);
    return std::map<std::string, DefaultsValue>(values_.begin(), values_.end());
}

}  // namespace tobble::system
