#pragma once

#include <atomic>
#include <cstdint>

namespace tobble::engine {

// The real-time tables have one entry per catalog slot. Any slot value addresses a valid entry
// through its low five bits, so a stale or out-of-range slot can never index past a table.
inline constexpr uint32_t kRealtimeSlotCount = 32;

constexpr uint32_t slotIndex(uint32_t slot) noexcept { return slot & (kRealtimeSlotCount - 1); }

// The audio thread may only touch words that never take a lock.
static_assert(std::atomic<float>::is_always_lock_free);
static_assert(std::atomic<double>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(std::atomic<int64_t>::is_always_lock_free);
static_assert(std::atomic<uint64_t>::is_always_lock_free);

}  // namespace tobble::engine
