#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "engine/pipeline/RealtimeSlots.h"

namespace tobble::engine {

// A slot counts as audible while its level is above this.
inline constexpr float kAudibleLevel = 0.0001f;

// Per-slot level meter. Each slot's I/O callback writes its entry once per cycle; the engine's
// audible timer and the client bridge poll it. Relaxed atomic words, like the volume table.
class TAKRMSBuffer {
  public:
    TAKRMSBuffer();
    TAKRMSBuffer(const TAKRMSBuffer&) = delete;
    TAKRMSBuffer& operator=(const TAKRMSBuffer&) = delete;

    // The one instance the engine, the client bridge and every I/O host share.
    static TAKRMSBuffer& shared();

    // Level 0 and no audible time: the state of a slot nobody owns.
    void reset(uint32_t slot) noexcept;

    float level(uint32_t slot) const noexcept {
        return rms[slotIndex(slot)].load(std::memory_order_relaxed);
    }
    bool isAudible(uint32_t slot) const noexcept { return level(slot) > kAudibleLevel; }

    // Smoothed peak level of each slot, 0 and up.
    std::array<std::atomic<float>, kRealtimeSlotCount> rms;
    // Host time of the last cycle whose level was audible; kept for diagnostics only.
    std::array<std::atomic<uint64_t>, kRealtimeSlotCount> hostTime;
};

}  // namespace tobble::engine
