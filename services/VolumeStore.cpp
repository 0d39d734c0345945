#include "services/VolumeStore.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <utility>

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

// The member text of one entry: "bundleID":{"volume":0.5,"isMuted":false}. Throws for a volume
// JSON cannot hold or a name that is not valid UTF-8.
void appendEntry(std::string& text, const std::string& bundleID, VolumeStore::SavedState state) {
    text += nlohmann::json(bundleID).dump();
    text += R"(:{"volume":)";
    text += stored::floatNumber(state.volume).dump();
    text += R"(,"isMuted":)";
    text += state.isMuted ? "true}" : "false}";
}

// Written entry by entry: a JSON object looks each new member up among those before it, which
// made a save quadratic in the number of applications.
system::DefaultsData encode(const VolumeStore::SavedStates& states) {
    std::string text = "{";
    for (const auto& [bundleID, state] : states) {
        if (text.size() > 1) text += ',';
        appendEntry(text, bundleID, state);
    }
    text += '}';
    return system::DefaultsData(text.begin(), text.end());
}

}  // namespace

// Changes saved but not yet written. Lock order: the document lock, then this one.
struct VolumeStore::Pending {
    std::mutex mutex;
    SavedStates changes;
    bool scheduled = false;
};

VolumeStore::VolumeStore(system::UserDefaults& defaults, dispatch::QueuePtr writer)
    : defaults_(defaults), writer_(std::move(writer)), pending_(std::make_unique<Pending>()) {}

VolumeStore::~VolumeStore() { flush(); }

VolumeStore::SavedStates VolumeStore::loadAll() const {
    std::lock_guard lock(documentMutex());
    auto states = loadLocked();
    std::lock_guard pendingLock(pending_->mutex);
    for (const auto& [bundleID, state] : pending_->changes)
        states.insert_or_assign(bundleID, state);
    return states;
}

bool VolumeStore::save(std::string_view bundleID, float volume, bool isMuted) {
    if (bundleID.empty()) return false;
    const SavedState state{volume, isMuted};
    if (!writer_) {
        std::lock_guard lock(documentMutex());
        auto states = loadLocked();
        states.insert_or_assign(std::string(bundleID), state);
        return persistLocked(states);
    }
    // Checked now, so that the caller hears of a state that could never be written and the
    // writer never meets one.
    try {
        std::string ignored;
        appendEntry(ignored, std::string(bundleID), state);
    } catch (const std::exception& error) {
        logger().error("Failed to encode saved volumes: " + stored::describeForLog(error));
        return false;
    }
    bool schedule = false;
    {
        std::lock_guard lock(pending_->mutex);
        pending_->changes.insert_or_assign(std::string(bundleID), state);
        schedule = !std::exchange(pending_->scheduled, true);
    }
    if (schedule) writer_->async([this] { writePending(); });
    return true;
}

void VolumeStore::writePending() {
    std::lock_guard lock(documentMutex());
    SavedStates changes;
    {
        std::lock_guard pendingLock(pending_->mutex);
        changes.swap(pending_->changes);
        pending_->scheduled = false;
    }
    if (changes.empty()) return;
    auto states = loadLocked();
    for (auto& [bundleID, state] : changes) states.insert_or_assign(bundleID, state);
    persistLocked(states);
}

void VolumeStore::flush() {
    if (writer_ && !writer_->isCurrent()) writer_->sync([] {});
}

bool VolumeStore::persist(const SavedStates& states) {
    std::lock_guard lock(documentMutex());
    {
        // The whole dictionary supersedes the changes saved before it.
        std::lock_guard pendingLock(pending_->mutex);
        pending_->changes.clear();
    }
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
