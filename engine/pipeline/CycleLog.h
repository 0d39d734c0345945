#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tobble::engine {

// What the I/O callback reports about one cycle, as raw numbers.
struct CycleNote {
    enum class Kind : uint8_t { noBuffers, warmup, cycle };
    Kind kind = Kind::cycle;
    uint64_t tick = 0;
    uint64_t frames = 0;    // warm-up: frames kept silent
    int64_t remaining = 0;  // warm-up: frames still to keep silent
    uint32_t inChannels = 0;
    uint32_t outChannels = 0;
    float gain = 0;
    float peak = 0;
    float smoothed = 0;
};

// The callback's diagnostic notes on their way to the log. Composing a log line allocates, so
// the callback only copies the numbers into this fixed ring; the engine's queue drains it and
// writes the lines. One producer (the callback) and one consumer (the engine's queue).
class CycleLog {
  public:
    // Notes come at cycles 1, 2, 3 and then every 400th; sixteen outlast any drain interval.
    static constexpr size_t kCapacity = 16;

    // Callback side: lock-free, no allocation. A note that finds the ring full is dropped.
    bool push(const CycleNote& note) noexcept {
        const uint64_t written = written_.load(std::memory_order_relaxed);
        if (written - read_.load(std::memory_order_acquire) >= kCapacity) return false;
        notes_[written % kCapacity] = note;
        written_.store(written + 1, std::memory_order_release);
        return true;
    }

    // Consumer side: hands every waiting note to `take`, oldest first.
    template <typename Take>
    void drain(Take&& take) {
        uint64_t read = read_.load(std::memory_order_relaxed);
        const uint64_t written = written_.load(std::memory_order_acquire);
        for (; read != written; ++read) {
            take(notes_[read % kCapacity]);
            read_.store(read + 1, std::memory_order_release);
        }
    }

  private:
    std::array<CycleNote, kCapacity> notes_{};
    std::atomic<uint64_t> written_{0};
    std::atomic<uint64_t> read_{0};
};

}  // namespace tobble::engine
