#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/TAKSavedVolumes.h"
#include "engine/TAKTapCatalog.h"
#include "engine/TobbleClient.h"
#include "engine/pipeline/TAKRMSBuffer.h"
#include "engine/pipeline/TAKVolumeState.h"

namespace tobble::engine {

class TAKEngine;

// The narrow door between the engine and the application: clients instead of slots and taps.
// Made for one call over the engine's current catalog and dropped after it.
class TAKTobbleClientBridge {
  public:
    TAKTobbleClientBridge(const TAKTapCatalog& catalog, TAKVolumeState& volumeState,
                          TAKRMSBuffer& rmsBuffer, TAKSavedVolumes* savedVolumes);

    // Over the engine's catalog; empty when the engine is stopped.
    static std::optional<TAKTobbleClientBridge> forEngine(const TAKEngine& engine);

    // One client per bundle key, in ascending key order.
    std::vector<TobbleClient> readClientList() const;
    // (clientID, level) per client: the loudest slot of the application.
    std::vector<std::pair<uint32_t, float>> readRMSLevels() const;
    // Applies the change to every slot of the client's application when (slot, generation) is
    // still current; otherwise refuses it and writes nothing. The volume applied stays within
    // the saved volumes' limit (1.0 without them).
    bool setClientVolume(uint32_t slot, uint32_t generation, float volume, bool muted) const;
    // The same without saving it: for a volume that comes from the saved one.
    bool applyClientVolume(uint32_t slot, uint32_t generation, float volume, bool muted) const;

    static std::string bundleKey(const TAKTapEntry& entry);

  private:
    struct Group {
        std::string key;
        std::vector<TAKTapEntry> entries;
    };
    std::vector<Group> groupedEntries() const;
    // The entry (slot, generation) names, when it is still current.
    std::optional<TAKTapEntry> applyVolume(uint32_t slot, uint32_t generation, float volume,
                                           bool muted) const;

    const TAKTapCatalog& catalog;
    TAKVolumeState& volumeState;
    TAKRMSBuffer& rmsBuffer;
    TAKSavedVolumes* savedVolumes_;
    std::shared_ptr<const TAKTapCatalog> keepAlive_;  // holds the engine's catalog for the call
};

}  // namespace tobble::engine
