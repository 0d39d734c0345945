#include "services/StoredDocument.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "services/DefaultsKeys.h"

namespace tobble::app::stored {

std::optional<int64_t> schemaVersion(const system::UserDefaults& defaults, std::string_view key) {
    auto value = defaults.object(key);
    if (!value) return std::nullopt;
    if (auto* i = std::get_if<int64_t>(&*value)) return *i;
    if (auto* b = std::get_if<bool>(&*value)) return *b ? 1 : 0;
    if (auto* d = std::get_if<double>(&*value)) {
        // Only exact whole numbers convert; 2^63 itself is out of range.
        constexpr double kLimit = 9223372036854775808.0;
        if (std::isfinite(*d) && std::trunc(*d) == *d && *d >= -kLimit && *d < kLimit) {
            return static_cast<int64_t>(*d);
        }
    }
    return std::nullopt;
}

nlohmann::json parse(const system::DefaultsData& data) {
    return nlohmann::json::parse(data.begin(), data.end());
}

nlohmann::ordered_json floatNumber(float value) {
    if (!std::isfinite(value)) throw DocumentError("volume is not a finite number");
    char text[std::numeric_limits<float>::max_digits10 + 16];
    auto end = std::to_chars(std::begin(text), std::end(text), value).ptr;
    double widened = 0;
    std::from_chars(std::begin(text), end, widened);
    // Whole numbers are written without a fraction ("1", not "1.0").
    if (std::trunc(widened) == widened && std::fabs(widened) < 1e15) {
        return static_cast<int64_t>(widened);
    }
    return widened;
}

void write(system::UserDefaults& defaults, std::string_view dataKey, std::string_view versionKey,
           system::DefaultsData data) {
    defaults.setData(dataKey, std::move(data));
    defaults.setInteger(versionKey, kStoreSchemaVersion);
}

std::string describeForLog(const std::exception& error) {
    constexpr size_t kMaxLength = 240;
    std::string_view raw = error.what();
    std::string text;
    for (char c : raw.substr(0, kMaxLength)) text += (c >= 0x20 && c < 0x7f) ? c : '?';
    if (raw.size() > kMaxLength) text += "...";
    return text;
}

}  // namespace tobble::app::stored
