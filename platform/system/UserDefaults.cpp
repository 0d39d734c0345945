#include "platform/system/UserDefaults.h"

#include <cmath>

namespace tobble::system {

int64_t UserDefaults::integer(std::string_view key) const {
    auto v = object(key);
    if (!v) return 0;
    if (auto* i = std::get_if<int64_t>(&*v)) return *i;
    if (auto* d = std::get_if<double>(&*v)) return std::isfinite(*d) ? static_cast<int64_t>(*d) : 0;
    if (auto* b = std::get_if<bool>(&*v)) return *b ? 1 : 0;
    return 0;
}

double UserDefaults::number(std::string_view key) const {
    auto v = object(key);
    if (!v) return 0;
    if (auto* d = std::get_if<double>(&*v)) return *d;
    if (auto* i = std::get_if<int64_t>(&*v)) return static_cast<double>(*i);
    if (auto* b = std::get_if<bool>(&*v)) return *b ? 1.0 : 0.0;
    return 0;
}

bool UserDefaults::boolean(std::string_view key) const {
    auto v = object(key);
    if (!v) return false;
    if (auto* b = std::get_if<bool>(&*v)) return *b;
    if (auto* i = std::get_if<int64_t>(&*v)) return *i != 0;
    if (auto* d = std::get_if<double>(&*v)) return *d != 0.0;
    return false;
}

std::optional<std::string> UserDefaults::string(std::string_view key) const {
    auto v = object(key);
    if (!v) return std::nullopt;
    if (auto* s = std::get_if<std::string>(&*v)) return *s;
    return std::nullopt;
}

std::optional<DefaultsData> UserDefaults::data(std::string_view key) const {
    auto v = object(key);
    if (!v) return std::nullopt;
    if (auto* d = std::get_if<DefaultsData>(&*v)) return *d;
    return std::nullopt;
}

}  // namespace tobble::system
