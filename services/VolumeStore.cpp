#include "services/VolumeStore.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <utility>

#include "engine/core/Identity.h"
#include "engine/pipeline/TAKVolumeState.h"
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

// Every entry that reads as a saved state; one that does not is logged and left out rather than
// costing the others. Throws when the document as a whole is not one of ours.
VolumeStore::SavedStates decode(const system::DefaultsData& data) {
    auto document = stored::parse(data);
    if (!document.is_object()) throw stored::DocumentError("not an object of bundle identifiers");
    VolumeStore::SavedStates states;
    for (const auto& [bundleID, value] : document.items()) {
        try {
            states.insert_or_assign(bundleID, decodeSavedState(bundleID, value));
        } catch (const stored::DocumentError& error) {
            logger().error("Failed to decode saved volumes: " + stored::describeForLog(error));
        }
    }
    return states;
}

// A name that needs no escaping goes in as it is; anything else through the JSON writer, which
// also rejects text that is not UTF-8.
void appendName(std::string& text, const std::string& name) {
    const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
        return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
    });
    if (!plain) {
        text += nlohmann::json(name).dump();
        return;
    }
    text += '"';
    text += name;
    text += '"';
}

// The member text of one entry: "bundleID":{"volume":0.5,"isMuted":false}. Throws for a volume
// JSON cannot hold or a name that is not valid UTF-8.
void appendEntry(std::string& text, const std::string& bundleID, VolumeStore::SavedState state) {
    appendName(text, bundleID);
    text += R"(:{"volume":)";
    text += stored::floatText(state.volume);
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

bool encodable(const VolumeStore::SavedStates& states) {
    try {
        std::string ignored;
        for (const auto& [bundleID, state] : states) appendEntry(ignored, bundleID, state);
        return true;
    } catch (const std::exception& error) {
        logger().error("Failed to encode saved volumes: " + stored::describeForLog(error));
        return false;
    }
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
    auto states = readLocked(nullptr);
    // Entries of earlier versions saved under process ids are not offered to anyone.
    std::erase_if(states, [](const auto& entry) { return !isIdentity(entry.first); });
    std::lock_guard pendingLock(pending_->mutex);
    for (const auto& [bundleID, state] : pending_->changes) {
        states.insert_or_assign(bundleID, state);
    }
    return states;
}

bool VolumeStore::isIdentity(std::string_view bundleID) {
    return !bundleID.empty() && !bundleID.starts_with(kProcessKeyPrefix);
}

bool VolumeStore::save(std::string_view bundleID, float volume, bool isMuted) {
    // A row known only by its process id names no application: a later process that reuses the
    // id must not inherit its volume.
    if (!isIdentity(bundleID)) return false;
    // Infinities stay as they are, to be refused below with NaN.
    if (std::isfinite(volume)) volume = std::clamp(volume, 0.0f, volumeLimit());
    SavedStates change{{std::string(bundleID), SavedState{volume, isMuted}}};
    // Checked now, so that the caller hears of a state that could never be written and the
    // writer never meets one.
    if (!encodable(change)) return false;
    if (!writer_) {
        std::lock_guard lock(documentMutex());
        return applyLocked(change);
    }
    bool schedule = false;
    {
        std::lock_guard lock(pending_->mutex);
        pending_->changes.insert_or_assign(std::string(bundleID), change.begin()->second);
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
    if (!changes.empty()) applyLocked(changes);
}

void VolumeStore::flush() {
    if (writer_ && !writer_->isCurrent()) writer_->sync([] {});
}

bool VolumeStore::persist(const SavedStates& states) {
    if (!encodable(states)) return false;
    std::lock_guard lock(documentMutex());
    {
        // The whole dictionary supersedes the changes saved before it.
        std::lock_guard pendingLock(pending_->mutex);
        pending_->changes.clear();
    }
    bool unusable = false;
    readLocked(&unusable);
    cache_.states = states;
    writeLocked(unusable);
    return true;
}

const VolumeStore::SavedStates& VolumeStore::readLocked(bool* unusable) const {
    static const SavedStates kNone;
    if (unusable) *unusable = false;
    auto version = stored::schemaVersion(defaults_, kPerAppVolumesVersionKey);
    if (version && *version != kStoreSchemaVersion) {
        logger().error("Unknown per-app volume schema version: " + std::to_string(*version));
        if (unusable) *unusable = true;
        return kNone;
    }
    try {
        auto data = stored::documentBytes(defaults_, kPerAppVolumesKey);
        if (!data) {
            cache_ = {};
            cache_.states.emplace();
            return *cache_.states;
        }
        // Most reads find the document this store wrote last; decoding it again would make
        // every save cost a parse of every entry.
        if (!(cache_.states && cache_.bytes == *data)) {
            cache_.states = decode(*data);
            cache_.bytes = std::move(*data);
        }
        return *cache_.states;
    } catch (const std::exception& error) {
        logger().error("Failed to decode saved volumes: " + stored::describeForLog(error));
        if (unusable) *unusable = true;
        return kNone;
    }
}

bool VolumeStore::applyLocked(const SavedStates& changes) {
    bool unusable = false;
    readLocked(&unusable);
    if (unusable || !cache_.states) cache_.states.emplace();
    for (const auto& [bundleID, state] : changes) cache_.states->insert_or_assign(bundleID, state);
    writeLocked(unusable);
    return true;
}

void VolumeStore::writeLocked(bool keepAside) {
    if (keepAside) {
        // Written by a newer build, or damaged: the user may still want it back.
        const auto backupKey =
            stored::keepAside(defaults_, kPerAppVolumesKey, kPerAppVolumesVersionKey);
        logger().error("Saved volumes this build cannot read were kept under " + backupKey +
                       "; saving to a fresh document");
    }
    cache_.bytes = encode(*cache_.states);
    stored::write(defaults_, kPerAppVolumesKey, kPerAppVolumesVersionKey, cache_.bytes);
}

double VolumeStore::defaultVolume(const system::UserDefaults& defaults) {
    auto value = defaults.object(kDefaultVolumeKey);
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

bool VolumeStore::volumeBoostAllowed() const {
    const auto value = defaults_.object(kAllowVolumeBoostKey);
    const bool* allowed = value ? std::get_if<bool>(&*value) : nullptr;
    return allowed && *allowed;
}

void VolumeStore::setVolumeBoostAllowed(bool allowed) {
    defaults_.setBoolean(kAllowVolumeBoostKey, allowed);
}

float VolumeStore::volumeLimit() const { return volumeBoostAllowed() ? engine::kMaxVolume : 1.0f; }

float VolumeStore::applicable(float saved) const {
    return std::isnan(saved) ? 1.0f : std::clamp(saved, 0.0f, volumeLimit());
}

}  // namespace tobble::app
