#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "engine/pipeline/IOProcRenderer.h"
#include "platform/audio/AudioHardware.h"
#include "platform/dispatch/Dispatcher.h"

namespace tobble::engine {

// Runs one pipeline's I/O callback on its private aggregate device: the tapped application's
// audio in, the slot's volume, mute, cross-fade gain, warm-up silence and soft limiter applied,
// the real output device out, the slot's level metered on the way.
//
// start, stop and the engine's writes (warm-up, cross-fade) happen on the engine's queue; the
// callback runs on `ioQueue`, which the engine's hosts share (where the platform calls callbacks
// on a thread of its own, as PipeWire does, the queue stays idle). The tables passed in must
// outlive the host (the shared ones live for the whole process). The installed callback points
// into the host, so a host whose removal failed must not be freed: its owner keeps it and calls
// stop() again until it returns true (TAKTeardown does this for the engine).
class TAKIOProcHost {
  public:
    using Role = CrossfadeRole;

    TAKIOProcHost(uint32_t slot, TAKVolumeState& volumeState, TAKRMSBuffer& rmsBuffer,
                  audio::AudioHardware& audio, dispatch::Clock& clock, dispatch::QueuePtr ioQueue);
    ~TAKIOProcHost();
    TAKIOProcHost(const TAKIOProcHost&) = delete;
    TAKIOProcHost& operator=(const TAKIOProcHost&) = delete;

    // Installs and starts the callback on `aggregateID`; a no-op while running. Throws TAKError.
    void start(audio::AudioObjectID aggregateID);
    // Silences, stops and removes the callback; true once none is installed. A failed step is
    // logged with its status and keeps the callback id, so the next call picks up where this one
    // failed. Safe to repeat; never throws.
    bool stop() noexcept;

    const dispatch::QueuePtr& ioQueue() const { return ioQueue_; }
    audio::AudioObjectID aggregateID() const { return aggregateID_; }
    std::optional<audio::IOProcID> ioProcID() const { return ioProcID_; }
    bool isRunning() const { return isRunning_; }
    // A callback is installed (running, or left behind by a failed removal).
    bool isInstalled() const { return ioProcID_.has_value(); }
    uint32_t slot() const { return renderer_.slot; }

    // ---- written by the engine
    // Frames to keep silent after start; set before start.
    void setWarmupFramesRemaining(int64_t frames) {
        renderer_.warmupFramesRemaining.store(frames, std::memory_order_relaxed);
    }
    int64_t warmupFramesRemaining() const {
        return renderer_.warmupFramesRemaining.load(std::memory_order_relaxed);
    }
    // Takes part in `state` with `role` from the next cycle on. The engine keeps `state` alive
    // as described at IOProcRenderer::crossfadeState.
    void attachCrossfade(TAKCrossfadeState& state, Role role);
    void setCrossfadeRole(Role role) {
        renderer_.crossfadeRole.store(role, std::memory_order_relaxed);
    }
    // Leaves the cross-fade (state cleared, role back to primary). Returns a mark: once
    // hasRenderedSince(mark) is true, or no callback is installed any more, no cycle uses the
    // detached state and the engine may release it.
    uint64_t detachCrossfade();
    bool hasRenderedSince(uint64_t mark) const {
        return renderer_.diagCounter.load(std::memory_order_acquire) > mark;
    }
    Role crossfadeRole() const { return renderer_.crossfadeRole.load(std::memory_order_relaxed); }
    TAKCrossfadeState* crossfadeState() const {
        return renderer_.crossfadeState.load(std::memory_order_relaxed);
    }

    // ---- read by the health monitor and the engine
    // Absolute time (seconds) of the last successful start.
    double activatedAt() const { return activatedAt_.load(std::memory_order_relaxed); }
    // Host time of the most recent cycle; times scale to nanoseconds by hostTimeNanosScale().
    uint64_t lastRenderHostTime() const {
        return renderer_.lastRenderHostTime.load(std::memory_order_relaxed);
    }
    double hostTimeNanosScale() const { return hostTimeNanosScale_; }
    uint64_t diagCounter() const { return renderer_.diagCounter.load(std::memory_order_relaxed); }
    float smoothedPeak() const { return renderer_.smoothedPeak.load(std::memory_order_relaxed); }

    IOProcRenderer& renderer() { return renderer_; }
    // Writes the callback's waiting diagnostic lines; on the engine's queue.
    void writeLog() { renderer_.writeLog(); }

  private:
    audio::AudioHardware& audio_;
    dispatch::Clock& clock_;
    dispatch::QueuePtr ioQueue_;
    audio::AudioObjectID aggregateID_ = 0;
    std::optional<audio::IOProcID> ioProcID_;
    bool isRunning_ = false;
    IOProcRenderer renderer_;
    std::atomic<double> activatedAt_{0.0};
    const double hostTimeNanosScale_;
};

}  // namespace tobble::engine
