#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tobble::audio {

// A property-list value: what the platform passes as dictionaries, arrays, strings, numbers
// and booleans (the aggregate-device description, for one). Dictionaries keep insertion order.
class AudioValue {
  public:
    using Array = std::vector<AudioValue>;
    using Dictionary = std::vector<std::pair<std::string, AudioValue>>;

    AudioValue() = default;
    AudioValue(bool b) : value_(b) {}                       // NOLINT(google-explicit-constructor)
    AudioValue(int i) : value_(static_cast<int64_t>(i)) {}  // NOLINT
    AudioValue(int64_t i) : value_(i) {}                    // NOLINT
    AudioValue(double d) : value_(d) {}                     // NOLINT
    AudioValue(const char* s) : value_(std::string(s)) {}   // NOLINT
    AudioValue(std::string s) : value_(std::move(s)) {}     // NOLINT
    AudioValue(Array a) : value_(std::move(a)) {}           // NOLINT
    AudioValue(Dictionary d) : value_(std::move(d)) {}      // NOLINT

    bool isNull() const { return std::holds_alternative<std::monostate>(value_); }
    const bool* asBool() const { return std::get_if<bool>(&value_); }
    const int64_t* asInt() const { return std::get_if<int64_t>(&value_); }
    const double* asDouble() const { return std::get_if<double>(&value_); }
    const std::string* asString() const { return std::get_if<std::string>(&value_); }
    const Array* asArray() const { return std::get_if<Array>(&value_); }
    const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&value_); }

    // Dictionary lookup; nullptr when this is not a dictionary or the key is absent.
    const AudioValue* find(std::string_view key) const {
        if (const auto* dict = asDictionary()) {
            for (const auto& [k, v] : *dict) {
                if (k == key) return &v;
            }
        }
        return nullptr;
    }
    std::optional<std::string> stringAt(std::string_view key) const {
        const auto* v = find(key);
        if (v && v->asString()) return *v->asString();
        return std::nullopt;
    }
    std::optional<bool> boolAt(std::string_view key) const {
        const auto* v = find(key);
        if (v && v->asBool()) return *v->asBool();
        return std::nullopt;
    }

    friend bool operator==(const AudioValue&, const AudioValue&) = default;

  private:
    std::variant<std::monostate, bool, int64_t, double, std::string, Array, Dictionary> value_;
};

// The platform's aggregate-device description keys.
inline constexpr std::string_view kAudioAggregateDeviceNameKey = "name";
inline constexpr std::string_view kAudioAggregateDeviceUIDKey = "uid";
inline constexpr std::string_view kAudioAggregateDeviceMainSubDeviceKey = "master";
inline constexpr std::string_view kAudioAggregateDeviceClockDeviceKey = "clock";
inline constexpr std::string_view kAudioAggregateDeviceIsPrivateKey = "private";
inline constexpr std::string_view kAudioAggregateDeviceIsStackedKey = "stacked";
inline constexpr std::string_view kAudioAggregateDeviceTapAutoStartKey = "tapautostart";
inline constexpr std::string_view kAudioAggregateDeviceSubDeviceListKey = "subdevices";
inline constexpr std::string_view kAudioAggregateDeviceTapListKey = "taps";
inline constexpr std::string_view kAudioSubDeviceUIDKey = "uid";
inline constexpr std::string_view kAudioSubDeviceDriftCompensationKey = "drift";
inline constexpr std::string_view kAudioSubTapUIDKey = "uid";
inline constexpr std::string_view kAudioSubTapDriftCompensationKey = "drift";

}  // namespace tobble::audio
