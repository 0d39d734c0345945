#include "engine/TAKTapCatalog.h"

#include "engine/core/TAKError.h"

namespace tobble::engine {

std::vector<TAKTapEntry> TAKTapCatalog::activeEntries() const {
    std::lock_guard lock(mutex_);
    std::vector<TAKTapEntry> active;
    for (const auto& [pid, e] : entries_) {
        if (e.state == TAKTapEntry::State::active) active.push_back(e);
    }
    return active;
}

std::vector<TAKTapEntry> TAKTapCatalog::allEntries() const {
    std::lock_guard lock(mutex_);
    std::vector<TAKTapEntry> all;
    for (const auto& [pid, e] : entries_) all.push_back(e);
    return all;
}

std::optional<TAKTapEntry> TAKTapCatalog::entry(pid_t pid) const {
    std::lock_guard lock(mutex_);
    if (auto it = entries_.find(pid); it != entries_.end()) return it->second;
    return std::nullopt;
}

std::optional<uint32_t> TAKTapCatalog::firstFreeSlot() const {
    std::array<bool, kSlotCount> taken{};
    for (const auto& [pid, e] : entries_) taken[e.slot & (kSlotCount - 1)] = true;
    for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
        if (!taken[slot]) return slot;
    }
    return std::nullopt;
}

TAKTapCatalog::Allocation TAKTapCatalog::allocate(pid_t pid,
                                                  const std::optional<std::string>& bundleID,
                                                  double now) {
    std::lock_guard lock(mutex_);
    if (auto it = entries_.find(pid); it != entries_.end())
        return {it->second.slot, it->second.generation};
    const auto slot = firstFreeSlot();
    if (!slot) throw TAKError::noSlotsAvailable();
    const uint32_t generation = ++slotGenerations_[*slot];  // unsigned: wraps to 0 after 2^32 - 1
    entries_.emplace(pid, TAKTapEntry{pid, bundleID, *slot, generation, TAKTapEntry::State::pending,
                                      std::nullopt, now});
    lastAudible_[pid] = now;
    return {*slot, generation};
}

void TAKTapCatalog::markActive(pid_t pid, const TAKTap& tap) {
    std::lock_guard lock(mutex_);
    if (auto it = entries_.find(pid); it != entries_.end()) {
        it->second.tap = tap;
        it->second.state = TAKTapEntry::State::active;
    }
}

void TAKTapCatalog::markRejected(pid_t pid, const std::optional<std::string>& bundleID) {
    std::lock_guard lock(mutex_);
    // The engine records refusals only for pids without an entry (allocation failed for them).
    const auto slot = firstFreeSlot();
    if (!slot) return;
    const uint32_t generation = ++slotGenerations_[*slot];
    entries_.insert_or_assign(pid, TAKTapEntry{pid, bundleID, *slot, generation,
                                               TAKTapEntry::State::rejected, std::nullopt, 0});
}

void TAKTapCatalog::free(pid_t pid) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(pid);
    if (it == entries_.end()) return;
    ++slotGenerations_[it->second.slot & (kSlotCount - 1)];
    entries_.erase(it);
    lastAudible_.erase(pid);
}

std::optional<TAKTapEntry> TAKTapCatalog::pickEvictionCandidate(
    double now, double silenceThreshold,
    const std::function<bool(const TAKTapEntry&)>& isProtected) const {
    std::lock_guard lock(mutex_);
    const TAKTapEntry* best = nullptr;
    double bar = silenceThreshold;
    for (const auto& [pid, e] : entries_) {
        if (e.state == TAKTapEntry::State::rejected) continue;
        if (isProtected && isProtected(e)) continue;
        const double idle = now - e.lastAudibleAt;
        if (idle > bar) {
            best = &e;
            bar = idle;
        }
    }
    if (!best) return std::nullopt;
    return *best;
}

void TAKTapCatalog::noteAudible(pid_t pid, double now) {
    std::lock_guard lock(mutex_);
    lastAudible_[pid] = now;
    if (auto it = entries_.find(pid); it != entries_.end()) it->second.lastAudibleAt = now;
}

std::optional<double> TAKTapCatalog::lastAudible(pid_t pid) const {
    std::lock_guard lock(mutex_);
    if (auto it = lastAudible_.find(pid); it != lastAudible_.end()) return it->second;
    return std::nullopt;
}

uint32_t TAKTapCatalog::slotGeneration(uint32_t slot) const {
    std::lock_guard lock(mutex_);
    return slotGenerations_[slot & (kSlotCount - 1)];
}

void TAKTapCatalog::setSlotGenerationForTesting(uint32_t slot, uint32_t generation) {
    std::lock_guard lock(mutex_);
    slotGenerations_[slot & (kSlotCount - 1)] = generation;
}

}  // namespace tobble::engine
