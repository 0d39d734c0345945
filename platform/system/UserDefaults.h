#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tobble::system {

using DefaultsData = std::vector<uint8_t>;
using DefaultsValue = std::variant<int64_t, double, bool, std::string, DefaultsData>;

// The application's key/value settings domain. Thread-safe. Typed reads follow the platform's
// conventions: a missing or mistyped number reads as 0, a boolean as false, a string or data
// value as empty; registered defaults answer for keys that were never set.
class UserDefaults {
  public:
    virtual ~UserDefaults() = default;

    // The stored value, else the registered default, else nothing.
    virtual std::optional<DefaultsValue> object(std::string_view key) const = 0;
    virtual void set(std::string_view key, DefaultsValue value) = 0;
    virtual void remove(std::string_view key) = 0;
    virtual void registerDefaults(const std::map<std::string, DefaultsValue>& defaults) = 0;

    int64_t integer(std::string_view key) const;
    double number(std::string_view key) const;
    bool boolean(std::string_view key) const;
    std::optional<std::string> string(std::string_view key) const;
    std::optional<DefaultsData> data(std::string_view key) const;

    void setInteger(std::string_view key, int64_t v) { set(key, v); }
    void setNumber(std::string_view key, double v) { set(key, v); }
    void setBoolean(std::string_view key, bool v) { set(key, v); }
    void setString(std::string_view key, std::string v) { set(key, std::move(v)); }
    void setData(std::string_view key, DefaultsData v) { set(key, std::move(v)); }
};

}  // namespace tobble::system
