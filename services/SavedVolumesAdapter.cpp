#include "services/SavedVolumesAdapter.h"

namespace tobble::app {

std::optional<engine::TAKSavedVolumes::Saved> SavedVolumesAdapter::savedVolume(
    const std::string& bundleID) {
    const auto states = store_.loadAll();
    const auto it = states.find(bundleID);
    if (it == states.end()) return std::nullopt;
    return Saved{store_.applicable(it->second.volume), it->second.isMuted};
}

void SavedVolumesAdapter::save(const std::string& bundleID, float volume, bool isMuted) {
    store_.save(bundleID, volume, isMuted);
}

}  // namespace tobble::app
