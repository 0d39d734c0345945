#include "services/VolumeStore.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

#include "engine/core/Identity.h"
#include "platform/log/Log.h"
#include "services/DefaultsKeys.h"
#include "services/StoredDocument.h"

namespace tobble::app {
namespace {

const log::Logger& logger() {
    static const log::Logger instance(engine::logSubsystem(), "VolumeStore");
    return instance;
}

// One lock for all stores: the engine and the client bridge may each hold their own store over
// the same domain.
std::mutex& documentMutex() {
    static std::mutex mutex;
    return mutex;
}

VolumeStore::SavedState decodeSavedState(const std::string& bundleID, const nlohmann::json& value) {
    auto fail = [&](std::string_view what) {
        throw stored::DocumentError("entry \"" + bundleID + "\": " + std::string(what));
    };
    if (!value.is_object()) fail("not an object");
    auto volume = value.find("volume");
    if (volume == value.end() || !volume->is_number()) fail("no number \"volume\"");
    auto isMuted = value.find("isMuted");
    if (isMuted == value.end() || !isMuted->is_boolean()) fail("no boolean \"isMuted\"");
    // Numbers up to half a step beyond the largest float still round to it: the shortest text
    // of that float ("3.4028235e+38") reads back as such a number.
    constexpr double kFloatLimit = 0x1.ffffffp127;
    constexpr float kFloatMax = std::numeric_limits<float>::max();
    double gain = volume->get<double>();
    if (!(std::fabs(gain) < kFloatLimit)) fail("\"volume\" does not fit in a 32-bit float");
    float rounded = static_cast<float>(std::clamp(gain, double{-kFloatMax}, double{kFloatMax}));
    return {rounded, isMuted->get<bool>()};
}

VolumeStore::SavedStates decode(const system::DefaultsData& data) {
    auto document = stored::parse(data);
    if (!document.is_object()) throw stored::DocumentError("not an object of bundle identifiers");
    VolumeStore::SavedStates states;
    for (const auto& [bundleID, value] : document.items()) {
        states.insert_or_assign(bundleID, decodeSavedState(bundleID, value));
    }
    return states;
}

system::DefaultsData encode(const VolumeStore::SavedStates& states) {
    auto document = nlohmann::ordered_json::object();
    for (const auto& [bundleID, state] : states) {
        auto entry = nlohmann::ordered_json::object();
        entry["volume"] = stored::floatNumber(state.volume);
        entry["isMuted"] = state.isMuted;
        document[bundleID] = std::move(entry);
    }
    return stored::serialise(document);
}

}  // namespace

VolumeStore::SavedStates VolumeStore::loadAll() const {
    std::lock_guard lock(documentMutex());
    return loadLocked();
}

bool VolumeStore::save(std::string_view bundleID, float volume, bool isMuted) {
    if (bundleID.empty()) return false;
    std::lock_guard lock(documentMutex());
    auto states = loadLocked();
    states.insert_or_assign(std::string(bundleID), SavedState{volume, isMuted});
    return persistLocked(states);
}

bool VolumeStore::persist(const SavedStates& states) {
    std::lock_guard lock(documentMutex());
    return persistLocked(states);
}

VolumeStore::SavedStates VolumeStore::loadLocked() const {
    auto version = stored::schemaVersion(defaults_, kPerAppVolumesVersionKey);
    if (version && *version != kStoreSchemaVersion) {
        logger().error("Unknown per-app volume schema version: " + std::to_string(*version));
        return {};
    }
    auto data = defaults_.data(kPerAppVolumesKey);
    if (!data) return {};
    try {
        return decode(*data);
    } catch (const std::exception& error) {
        logger().error("Failed to decode saved volumes: " + stored::describeForLog(error));
        return {};
    }
}

bool VolumeStore::persistLocked(const SavedStates& states) {
    system::DefaultsData data;
    try {
        data = encode(states);
    } catch (const std::exception& error) {
        logger().error("Failed to encode saved volumes: " + stored::describeForLog(error));
        return false;
    }
    stored::write(defaults_, kPerAppVolumesKey, kPerAppVolumesVersionKey, std::move(data));
    return true;
}

double VolumeStore::defaultVolume() const {
    auto value = defaults_.object(kDefaultVolumeKey);
    double volume = 1.0;
    if (auto* d = value ? std::get_if<double>(&*value) : nullptr) volume = *d;
    if (auto* i = value ? std::get_if<int64_t>(&*value) : nullptr) {
        volume = static_cast<double>(*i);
    }
    // A stray value must not start every new application silent or above full scale.
    return std::isnan(volume) ? 1.0 : std::clamp(volume, 0.0, 1.0);
}

void VolumeStore::setDefaultVolume(double volume) {
    defaults_.setNumber(kDefaultVolumeKey, std::isnan(volume) ? 1.0 : std::clamp(volume, 0.0, 1.0));
}

}  // namespace tobble::app
