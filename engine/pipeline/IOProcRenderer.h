#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/pipeline/CycleLog.h"
#include "engine/pipeline/RenderDSP.h"
#include "engine/pipeline/TAKCrossfadeState.h"
#include "engine/pipeline/TAKRMSBuffer.h"
#include "engine/pipeline/TAKVolumeState.h"
#include "platform/audio/AudioTypes.h"

namespace tobble::engine {

// The real-time half of a TAKIOProcHost: everything one I/O cycle reads and writes besides the
// buffers and the shared tables. The host owns it at a fixed address and the installed callback
// holds a plain pointer to it, so a cycle costs no reference counting. The host removes the
// callback (which waits for a running cycle) before this object can go away.
//
// Fields written by the audio thread are atomic words that other threads may read at any time;
// those written by the engine are single word stores the next cycle picks up.
class IOProcRenderer {
  public:
    IOProcRenderer(uint32_t slot, TAKVolumeState& volumeState, TAKRMSBuffer& rmsBuffer);
    IOProcRenderer(const IOProcRenderer&) = delete;
    IOProcRenderer& operator=(const IOProcRenderer&) = delete;

    // One I/O cycle. Takes no lock, allocates nothing and does not block, on every cycle: the
    // diagnostics of cycles 1, 2, 3, 401, 801, ... wait in a ring for writeLog().
    void render(const audio::AudioTimeStamp& now, const audio::AudioBufferList& input,
                audio::AudioBufferList& output) noexcept;

    // Writes the waiting diagnostic lines ("IOProc slot=..."). Not for the audio thread; one
    // caller at a time (the engine's queue).
    void writeLog();

    const uint32_t slot;
    TAKVolumeState& volumeState;
    TAKRMSBuffer& rmsBuffer;

    // Cycles so far. Incremented before the cross-fade state is read, which is what lets the
    // engine tell when a detached state is no longer in use (TAKIOProcHost::detachCrossfade).
    std::atomic<uint64_t> diagCounter{0};

    std::atomic<CrossfadeRole> crossfadeRole{CrossfadeRole::primary};
    // Lifetime rule: the engine attaches a state it owns and keeps it alive until the state has
    // been detached and a later cycle has started (diagCounter moved past the value returned by
    // TAKIOProcHost::detachCrossfade), or until the callback has been removed by stop(). The
    // audio thread never frees or retains it.
    std::atomic<TAKCrossfadeState*> crossfadeState{nullptr};

    std::atomic<float> smoothedPeak{0.0f};
    std::atomic<uint64_t> lastRenderHostTime{0};
    // Frames still to be played silent after start.
    std::atomic<int64_t> warmupFramesRemaining{0};
    // Set once the host's removal has been asked for: should the removal fail, the callback may
    // still be called, and then it plays silence, meters nothing and reads no cross-fade state.
    std::atomic<bool> silenced{false};

  private:
    // The limiter's gain after the last cycle: 1 until a cycle went over full scale, then given
    // back over the following cycles. Touched by the callback only.
    float limiterGain_ = 1.0f;

    // Everything of a cycle but the final silencing: the time stamp, the cycle count, the buffer
    // checks, the cross-fade, the warm-up, gain and level. Returns how many bytes at the start of
    // the first output buffer it wrote (0 when the cycle ends silent).
    size_t renderCycle(const audio::AudioTimeStamp& now, const audio::AudioBufferList& input,
                       const audio::AudioBufferList& output) noexcept;
    FadeSpan advanceCrossfade(const audio::AudioTimeStamp& now, int64_t frames) noexcept;
    float renderFrames(const audio::AudioBuffer& in, const audio::AudioBuffer& out, size_t frames,
                       float gain) noexcept;

    CycleLog log_;
};

static_assert(std::atomic<CrossfadeRole>::is_always_lock_free);
static_assert(std::atomic<TAKCrossfadeState*>::is_always_lock_free);

}  // namespace tobble::engine
