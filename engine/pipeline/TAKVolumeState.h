#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "engine/pipeline/RealtimeSlots.h"

namespace tobble::engine {

// The loudest gain a slot can hold: twice an application's own level, for sources mastered too
// quietly. Whether a user may go beyond 1.0 is decided above the engine; the limiter at the end
// of the callback keeps every boosted sample within full scale.
inline constexpr float kMaxVolume = 2.0f;

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

    // Stores `volume` clamped to 0…kMaxVolume (NaN as 1.0) and the mute flag for entry
    // `slot & 31`.
    void write(uint32_t slot, float volume, bool muted) noexcept;
    // Full volume, unmuted: the state of a slot nobody owns.
    void reset(uint32_t slot) noexcept;

    float volume(uint32_t slot) const noexcept {
        return volumes[slotIndex(slot)].load(std::memory_order_relaxed);
    }
    bool muted(uint32_t slot) const noexcept {
        return mutes[slotIndex(slot)].load(std::memory_order_relaxed) != 0;
    }

    std::array<std::atomic<float>, kRealtimeSlotCount> volumes;   // linear gain, 0…kMaxVolume
    std::array<std::atomic<uint32_t>, kRealtimeSlotCount> mutes;  // 1 when muted
};

}  // namespace tobble::engine
