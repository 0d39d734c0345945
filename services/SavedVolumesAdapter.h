#pragma once

#include <optional>
#include <string>

#include "engine/TAKSavedVolumes.h"
#include "services/VolumeStore.h"

namespace tobble::app {

// Lets the engine and the client bridge read and write the user's saved per-application volumes
// without knowing how they are kept: the volume store is the one record of them.
class SavedVolumesAdapter final : public engine::TAKSavedVolumes {
  public:
    explicit SavedVolumesAdapter(VolumeStore& store) : store_(store) {}

    std::optional<Saved> savedVolume(const std::string& bundleID) override;
    void save(const std::string& bundleID, float volume, bool isMuted) override;
    float volumeLimit() override { return store_.volumeLimit(); }

  private:
    VolumeStore& store_;
};

}  // namespace tobble::app
