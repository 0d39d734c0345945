#include "services/StoredDocument.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

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

std::optional<system::DefaultsData> documentBytes(const system::UserDefaults& defaults,
                                                  std::string_view key) {
    auto value = defaults.object(key);
    if (!value) return std::nullopt;
    if (auto* data = std::get_if<system::DefaultsData>(&*value)) return std::move(*data);
    if (auto* text = std::get_if<std::string>(&*value)) {
        return system::DefaultsData(text->begin(), text->end());
    }
    throw DocumentError("stored as a number, not as a document");
}

std::string keepAside(system::UserDefaults& defaults, std::string_view dataKey,
                      std::string_view versionKey) {
    const std::string stem = std::string(dataKey) + "Backup";
    std::string backupKey = stem;
    for (int n = 2; defaults.object(backupKey) || defaults.object(backupKey + "Version"); ++n) {
        backupKey = stem + std::to_string(n);
    }
    // Version first: a write cut short leaves no backup rather than one without its version.
    if (auto version = defaults.object(versionKey)) defaults.set(backupKey + "Version", *version);
    if (auto data = defaults.object(dataKey)) defaults.set(backupKey, *data);
    return backupKey;
}

nlohmann::json parse(const system::DefaultsData& data) {
    return nlohmann::json::parse(data.begin(), data.end());
}

void write(system::UserDefaults& defaults, std::string_view dataKey, std::string_view versionKey,
           system::DefaultsData data) {
    defaults.setData(dataKey, std::move(data));
    defaults.setInteger(versionKey, kStoreSchemaVersion);
}

std::string floatText(float value) {
    if (!std::isfinite(value)) throw DocumentError("volume is not a finite number");
    char text[std::numeric_limits<float>::max_digits10 + 16];
    auto end = std::to_chars(std::begin(text), std::end(text), value).ptr;
    // Whole numbers are written without a fraction or exponent ("1", not "1e+00"), and without
    // a sign for zero.
    if (std::trunc(value) == value && std::fabs(value) < 1e15f) {
        end = std::to_chars(std::begin(text), std::end(text), static_cast<int64_t>(value)).ptr;
    }
    return std::string(std::begin(text), end);
}

system::DefaultsData encodeStringMap(const std::map<std::string, std::string, std::less<>>& map) {
    std::string text = "{";
    for (const auto& [key, value] : map) {
        if (text.size() > 1) text += ',';
        text += nlohmann::json(key).dump();
        text += ':';
        text += nlohmann::json(value).dump();
    }
    text += '}';
    return system::DefaultsData(text.begin(), text.end());
}

bool writeStringMap(system::UserDefaults& defaults, std::string_view dataKey,
                    std::string_view versionKey,
                    const std::map<std::string, std::string, std::less<>>& map, bool& keepAside,
                    const log::Logger& logger, std::string_view what) {
    system::DefaultsData data;
    try {
        data = encodeStringMap(map);
    } catch (const std::exception& error) {
        logger.error("Failed to encode " + std::string(what) + ": " + describeForLog(error));
        return false;
    }
    if (std::exchange(keepAside, false)) {
        // Written by a newer build, or damaged: the user may still want it back.
        std::string subject(what);
        if (!subject.empty()) subject[0] = static_cast<char>(std::toupper(subject[0]));
        const auto backupKey = stored::keepAside(defaults, dataKey, versionKey);
        logger.error(subject + " this build cannot read were kept under " + backupKey +
                     "; saving to a fresh document");
    }
    write(defaults, dataKey, versionKey, std::move(data));
    return true;
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
