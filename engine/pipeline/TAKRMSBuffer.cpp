#include "engine/pipeline/TAKRMSBuffer.h"

namespace tobble::engine {

TAKRMSBuffer::TAKRMSBuffer() {
    for (uint32_t slot = 0; slot < kRealtimeSlotCount; ++slot) reset(slot);
}

TAKRMSBuffer& TAKRMSBuffer::shared() {
    // Never destroyed: audio threads may still write it while the process exits.
    static auto* instance = new TAKRMSBuffer();
    return *instance;
}

void TAKRMSBuffer::reset(uint32_t slot) noexcept {
    rms[slotIndex(slot)].store(0.0f, std::memory_order_relaxed);
    hostTime[slotIndex(slot)].store(0, std::memory_order_relaxed);
}

}  // namespace tobble::engine
