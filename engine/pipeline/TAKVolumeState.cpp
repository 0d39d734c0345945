#include "engine/pipeline/TAKVolumeState.h"

#include <algorithm>
#include <cmath>

namespace tobble::engine {

TAKVolumeState::TAKVolumeState() {
    for (uint32_t slot = 0; slot < kRealtimeSlotCount; ++slot) reset(slot);
}

TAKVolumeState& TAKVolumeState::shared() {
    // Never destroyed: audio threads may still read it while the process exits.
    static auto* instance = new TAKVolumeState();
    return *instance;
}

void TAKVolumeState::write(uint32_t slot, float volume, bool muted) noexcept {
    const float stored = std::isnan(volume) ? 1.0f : std::clamp(volume, 0.0f, kMaxVolume);
    volumes[slotIndex(slot)].store(stored, std::memory_order_relaxed);
    mutes[slotIndex(slot)].store(muted ? 1u : 0u, std::memory_order_relaxed);
}

void TAKVolumeState::reset(uint32_t slot) noexcept {
    volumes[slotIndex(slot)].store(1.0f, std::memory_order_relaxed);
    mutes[slotIndex(slot)].store(0, std::memory_order_relaxed);
}

}  // namespace tobble::engine
