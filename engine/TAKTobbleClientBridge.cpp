#include "engine/TAKTobbleClientBridge.h"

#include <algorithm>
#include <cmath>

#include "engine/TAKEngine.h"
#include "engine/core/NumberText.h"
#include "engine/core/TAKLog.h"

namespace tobble::engine {

TAKTobbleClientBridge::TAKTobbleClientBridge(const TAKTapCatalog& c, TAKVolumeState& v,
                                             TAKRMSBuffer& r, TAKSavedVolumes* saved)
    : catalog(c), volumeState(v), rmsBuffer(r), savedVolumes_(saved) {}

std::optional<TAKTobbleClientBridge> TAKTobbleClientBridge::forEngine(const TAKEngine& engine) {
    auto current = engine.catalog();
    if (!current) return std::nullopt;
    TAKTobbleClientBridge bridge(*current, engine.volumeState(), engine.rmsBuffer(),
                                 engine.savedVolumes());
    bridge.keepAlive_ = std::move(current);
    return bridge;
}

std::string TAKTobbleClientBridge::bundleKey(const TAKTapEntry& entry) {
    if (entry.bundleID && !entry.bundleID->empty()) return *entry.bundleID;
    return "pid:" + std::to_string(entry.pid);
}

std::vector<TAKTobbleClientBridge::Group> TAKTobbleClientBridge::groupedEntries() const {
    std::vector<Group> groups;
    for (const auto& entry : catalog.activeEntries()) {
        const std::string key = bundleKey(entry);
        auto it = std::find_if(groups.begin(), groups.end(),
                               [&](const Group& g) { return g.key == key; });
        if (it == groups.end()) {
            groups.push_back(Group{key, {entry}});
        } else {
            it->entries.push_back(entry);
        }
    }
    std::stable_sort(groups.begin(), groups.end(),
                     [](const Group& a, const Group& b) { return a.key < b.key; });
    return groups;
}

namespace {
const TAKTapEntry& representative(const std::vector<TAKTapEntry>& entries) {
    return *std::min_element(
        entries.begin(), entries.end(),
        [](const TAKTapEntry& a, const TAKTapEntry& b) { return a.slot < b.slot; });
}
}  // namespace

std::vector<TobbleClient> TAKTobbleClientBridge::readClientList() const {
    std::vector<TobbleClient> clients;
    for (const auto& group : groupedEntries()) {
        const auto& rep = representative(group.entries);
        clients.push_back(TobbleClient{rep.slot, rep.pid, volumeState.volume(rep.slot),
                                       volumeState.muted(rep.slot) ? TobbleClient::kMutedFlag : 0u,
                                       rep.slot, rep.generation, group.key});
    }
    return clients;
}

std::vector<std::pair<uint32_t, float>> TAKTobbleClientBridge::readRMSLevels() const {
    std::vector<std::pair<uint32_t, float>> levels;
    for (const auto& group : groupedEntries()) {
        float level = 0.0f;
        for (const auto& entry : group.entries)
            level = std::max(level, rmsBuffer.level(entry.slot));
        levels.emplace_back(representative(group.entries).slot, level);
    }
    return levels;
}

std::optional<TAKTapEntry> TAKTobbleClientBridge::applyVolume(uint32_t slot, uint32_t generation,
                                                              float volume, bool muted) const {
    const auto active = catalog.activeEntries();
    auto found = std::find_if(active.begin(), active.end(),
                              [&](const TAKTapEntry& e) { return e.slot == slot; });
    if (found == active.end() || found->generation != generation) {
        TAKLog::log().info("setClientVolume REJECTED slot=" + std::to_string(slot) +
                           " gen=" + std::to_string(generation) + " (stale or missing)");
        return std::nullopt;
    }
    const std::string key = bundleKey(*found);
    const float limit = savedVolumes_ ? savedVolumes_->volumeLimit() : 1.0f;
    const float clamped = std::isnan(volume) ? 1.0f : std::clamp(volume, 0.0f, limit);
    for (const auto& entry : active) {
        if (bundleKey(entry) == key) volumeState.write(entry.slot, clamped, muted);
    }
    TAKLog::log().info("setClientVolume slot=" + std::to_string(slot) + " key=" + key +
                       " vol=" + floatText(volume) + " muted=" + (muted ? "true" : "false"));
    return *found;
}

bool TAKTobbleClientBridge::setClientVolume(uint32_t slot, uint32_t generation, float volume,
                                            bool muted) const {
    const auto entry = applyVolume(slot, generation, volume, muted);
    if (!entry) return false;
    if (entry->bundleID && !entry->bundleID->empty() && savedVolumes_) {
        savedVolumes_->save(*entry->bundleID, volume, muted);
    }
    return true;
}

bool TAKTobbleClientBridge::applyClientVolume(uint32_t slot, uint32_t generation, float volume,
                                              bool muted) const {
    return applyVolume(slot, generation, volume, muted).has_value();
}

}  // namespace tobble::engine
