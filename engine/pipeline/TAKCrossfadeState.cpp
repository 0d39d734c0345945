#include "engine/pipeline/TAKCrossfadeState.h"

#include <algorithm>

namespace tobble::engine {

void TAKCrossfadeState::beginPreparing() noexcept {
    _progress.store(0.0f, std::memory_order_relaxed);
    _secondarySampleCount.store(0, std::memory_order_relaxed);
    _totalSamples.store(0, std::memory_order_relaxed);
    _secondarySamplesProcessed.store(0, std::memory_order_relaxed);
    publishPhase(CrossfadePhase::preparing);
}

void TAKCrossfadeState::startFading(int64_t totalSamples) noexcept {
    _progress.store(0.0f, std::memory_order_relaxed);
    _secondarySampleCount.store(0, std::memory_order_relaxed);
    _totalSamples.store(std::max<int64_t>(totalSamples, 1), std::memory_order_relaxed);
    publishPhase(CrossfadePhase::fading);
}

void TAKCrossfadeState::finish() noexcept {
    _progress.store(0.0f, std::memory_order_relaxed);
    _secondarySampleCount.store(0, std::memory_order_relaxed);
    _totalSamples.store(0, std::memory_order_relaxed);
    _secondarySamplesProcessed.store(0, std::memory_order_relaxed);
    publishPhase(CrossfadePhase::idle);
}

void TAKCrossfadeState::publishPhase(CrossfadePhase phase) noexcept {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    _phaseRaw.store(static_cast<int64_t>(phase), std::memory_order_release);
}

}  // namespace tobble::engine
