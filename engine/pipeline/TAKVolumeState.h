#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "engine/pipeline/RealtimeSlots.h"

namespace tobble::engine {

// Per-slot gain and mute. Written by the client bridge and the engine, read by every I/O
// callback once per cycle. Each entry is one atomic word accessed with relaxed order: readers
// need the latest value of that word, never a consistent view of several.
class TAKVolumeState {
  public:
    TAKVolumeState();
    TAKVolumeState(const TAKVolumeState&) = delete;
    TAKVolumeState& operator=(const TAKVolumeState&) = delete;

    // The one instance the engine, the client bridge and every I/O host share.
    static TAKVolumeState& shared();

    // Stores `volume` clamped to 0…1 (NaN as 1.0) and the mute flag for entry `slot & 31`.
    void write(uint32_t slot, float volume, bool muted) noexcept;
    // Full volume, unmuted: the state of a slot nobody owns.
    void reset(uint32_t slot) noexcept;

    float volume(uint32_t slot) const noexcept {
        return volumes[slotIndex(slot)].load(std::memory_order_relaxed);
    }
    bool muted(uint32_t slot) const noexcept {
        return mutes[slotIndex(slot)].load(std::memory_order_relaxed) != 0;
    }

    std::array<std::atomic<float>, kRealtimeSlotCount> volumes;   // linear gain, 0…1
    std::array<std::atomic<uint32_t>, kRealtimeSlotCount> mutes;  // 1 when muted
};

}  // namespace tobble::engine
