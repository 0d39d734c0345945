#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/log/Log.h"
#include "platform/system/UserDefaults.h"

// What the stores share about keeping one JSON document plus its schema version in the
// defaults domain.
namespace tobble::app::stored {

// Thrown while turning stored bytes into a store's content, or its content into bytes.
struct DocumentError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The version stored under `key` when it reads as a whole number. Anything else (missing, a
// fraction, text) is the current layout: the first builds wrote no version at all.
std::optional<int64_t> schemaVersion(const system::UserDefaults& defaults, std::string_view key);

// The document stored under `key`: a data value, or text typed into the settings file by hand.
// Nothing when absent; throws DocumentError for a value of another type.
std::optional<system::DefaultsData> documentBytes(const system::UserDefaults& defaults,
                                                  std::string_view key);

// Parses the stored bytes as one JSON value. Throws a std::exception on malformed input.
nlohmann::json parse(const system::DefaultsData& data);

// Copies a document this build cannot use, and its version, to the first of "<dataKey>Backup",
// "<dataKey>Backup2", ... that is free, so that the next write neither loses it nor overwrites
// an earlier copy. Returns the key used.
std::string keepAside(system::UserDefaults& defaults, std::string_view dataKey,
                      std::string_view versionKey);

// The JSON text of a 32-bit float, its shortest round-trip form ("0.7", not 0.699999988079071).
// Throws DocumentError for NaN and infinities, which JSON cannot hold.
std::string floatText(float value);

// A JSON object of string members, written member by member: building a JSON object looks each
// new member up among those before it. Throws for text that is not UTF-8.
system::DefaultsData encodeStringMap(const std::map<std::string, std::string, std::less<>>& map);

// Writes a string-map document: encodes it, first keeps a document this build could not read
// aside when `keepAside` says so (and clears it), then writes. `what` names the content in the
// log lines ("hidden apps"). False, with the error logged, when the map cannot be encoded.
bool writeStringMap(system::UserDefaults& defaults, std::string_view dataKey,
                    std::string_view versionKey,
                    const std::map<std::string, std::string, std::less<>>& map, bool& keepAside,
                    const log::Logger& logger, std::string_view what);

// Stores the document, then the version: a reader never pairs this version with older data, and
// a write cut short between the two leaves data that reads as unknown rather than misread.
void write(system::UserDefaults& defaults, std::string_view dataKey, std::string_view versionKey,
           system::DefaultsData data);

// An error's text, safe for a log line: decoder messages quote the offending input, which may be
// any bytes and any length.
std::string describeForLog(const std::exception& error);

}  // namespace tobble::app::stored
