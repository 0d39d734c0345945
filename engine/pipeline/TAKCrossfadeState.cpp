#include "engine/pipeline/TAKCrossfadeState.h"

#include <algorithm>

namespace tobble::engine {

void TAKCrossfadeState::beginPreparing(double ticksPerFrame) noexcept {
    progress_.store(0.0f, std::memory_order_relaxed);
    ticksPerFrame_.store(ticksPerFrame > 0 ? ticksPerFrame : 0.0, std::memory_order_relaxed);
    primaryHeardEnd_.store(0, std::memory_order_relaxed);
    originHostTime_.store(0, std::memory_order_relaxed);
    secondarySampleCount_.store(0, std::memory_order_relaxed);
    totalSamples_.store(0, std::memory_order_relaxed);
    secondarySamplesProcessed_.store(0, std::memory_order_relaxed);
    publishPhase(CrossfadePhase::preparing);
}

void TAKCrossfadeState::startFading(int64_t totalSamples) noexcept {
    progress_.store(0.0f, std::memory_order_relaxed);
    originHostTime_.store(0, std::memory_order_relaxed);
    secondarySampleCount_.store(0, std::memory_order_relaxed);
    totalSamples_.store(std::max<int64_t>(totalSamples, 1), std::memory_order_relaxed);
    publishPhase(CrossfadePhase::fading);
}

void TAKCrossfadeState::finish() noexcept {
    progress_.store(0.0f, std::memory_order_relaxed);
    originHostTime_.store(0, std::memory_order_relaxed);
    secondarySampleCount_.store(0, std::memory_order_relaxed);
    totalSamples_.store(0, std::memory_order_relaxed);
    secondarySamplesProcessed_.store(0, std::memory_order_relaxed);
    publishPhase(CrossfadePhase::idle);
}

void TAKCrossfadeState::publishPhase(CrossfadePhase phase) noexcept {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    phase_.store(static_cast<int64_t>(phase), std::memory_order_release);
}

}  // namespace tobble::engine
