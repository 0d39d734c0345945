#pragma once

#include <atomic>
#include <cstdint>

namespace tobble::engine {

// Phases of a cross-fade, as stored in the state's phase word. Readers treat any other value as
// idle.
enum class CrossfadePhase : int64_t { idle = 0, preparing = 1, fading = 2 };

// Which side of a cross-fade an I/O callback plays: the old pipeline or the new one.
enum class CrossfadeRole : uint32_t { primary, secondary };

// One cross-fade between the old and the new pipeline of a slot, shared by the engine and the
// two I/O callbacks. The engine owns the phase and the fade length; the secondary callback
// advances the counters and the progress that the primary callback follows.
//
// Every field is an atomic word accessed with relaxed order. The engine publishes a phase only
// after a full barrier, so a callback that loads the phase with acquire order also sees the
// fields written before it.
class TAKCrossfadeState {
  public:
    TAKCrossfadeState() = default;
    TAKCrossfadeState(const TAKCrossfadeState&) = delete;
    TAKCrossfadeState& operator=(const TAKCrossfadeState&) = delete;

    // ---- engine side, in protocol order
    // All fields zero, then `preparing`: the old pipeline keeps full gain while the new one is
    // built and attached silent. Given the length of the new pipeline's frame in host-time
    // ticks, both pipelines follow the fade by when each of their frames is heard (see
    // IOProcRenderer); without it, by the frames the new pipeline has played.
    void beginPreparing(double ticksPerFrame = 0) noexcept;
    // Starts the fade over `totalSamples` frames of the new pipeline (at least 1).
    void startFading(int64_t totalSamples) noexcept;
    // Counters zero, then `idle`: a primary still running plays at full gain.
    void finish() noexcept;

    int64_t phaseRaw() const noexcept { return phase_.load(std::memory_order_acquire); }
    float progress() const noexcept { return progress_.load(std::memory_order_relaxed); }
    int64_t secondarySampleCount() const noexcept {
        return secondarySampleCount_.load(std::memory_order_relaxed);
    }
    int64_t totalSamples() const noexcept { return totalSamples_.load(std::memory_order_relaxed); }
    // Where the fade begins on the host clock, as heard; 0 until the new pipeline's first fading
    // cycle has set it, and always 0 without a frame length.
    uint64_t originHostTime() const noexcept {
        return originHostTime_.load(std::memory_order_relaxed);
    }
    // Frames the new pipeline has rendered since it was attached: it is delivering audio.
    int64_t secondarySamplesProcessed() const noexcept {
        return secondarySamplesProcessed_.load(std::memory_order_relaxed);
    }

  private:
    // The callbacks advance the counters and the progress.
    friend class IOProcRenderer;

    void publishPhase(CrossfadePhase phase) noexcept;

    std::atomic<int64_t> phase_{0};
    std::atomic<float> progress_{0.0f};
    std::atomic<int64_t> secondarySampleCount_{0};
    std::atomic<int64_t> totalSamples_{0};
    std::atomic<int64_t> secondarySamplesProcessed_{0};
    // The new pipeline's frame length in host-time ticks (0: unknown); when the old pipeline's
    // last block at full gain ends, as heard; and where the fade begins, as heard.
    std::atomic<double> ticksPerFrame_{0.0};
    std::atomic<uint64_t> primaryHeardEnd_{0};
    std::atomic<uint64_t> originHostTime_{0};
};

static_assert(std::atomic<double>::is_always_lock_free);

}  // namespace tobble::engine
