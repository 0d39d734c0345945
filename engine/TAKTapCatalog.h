#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/pipeline/TAKTap.h"

namespace tobble::engine {

// One parent application known to the catalog.
struct TAKTapEntry {
    enum class State { active, pending, rejected };

    pid_t pid = 0;
    std::optional<std::string> bundleID;
    uint32_t slot = 0;
    uint32_t generation = 0;
    State state = State::pending;
    std::optional<TAKTap> tap;
    double lastAudibleAt = 0;  // absolute seconds
};

// The engine's table of applications that own, or asked for, a pipeline. It hands out the 32
// slots that index the real-time tables and stamps each tenancy of a slot with a generation, so a
// client named by (slot, generation) can never be mistaken for a later tenant of the same slot.
//
// Written on the engine's queue, read by the client bridge from the application's queues: every
// operation takes the catalog's lock, so readers always see a consistent table.
class TAKTapCatalog {
  public:
    static constexpr uint32_t kSlotCount = 32;

    struct Allocation {
        uint32_t slot = 0;
        uint32_t generation = 0;
    };

    std::vector<TAKTapEntry> activeEntries() const;
    std::vector<TAKTapEntry> allEntries() const;
    std::optional<TAKTapEntry> entry(pid_t pid) const;

    // Throws TAKError::noSlotsAvailable when all slots are held. A pid already present keeps
    // its slot and generation, whatever its state.
    Allocation allocate(pid_t pid, const std::optional<std::string>& bundleID, double now);
    void markActive(pid_t pid, const TAKTap& tap);
    // Records a refusal in the first free slot; with none free nothing is recorded.
    void markRejected(pid_t pid, const std::optional<std::string>& bundleID);
    void free(pid_t pid);

    // The entry silent for longest, if that is strictly more than `silenceThreshold` seconds.
    // Rejected entries, and those `isProtected` names, are never candidates.
    std::optional<TAKTapEntry> pickEvictionCandidate(
        double now, double silenceThreshold,
        const std::function<bool(const TAKTapEntry&)>& isProtected = nullptr) const;

    // Marks the pid as heard at `now` (the engine's last-audible refresh).
    void noteAudible(pid_t pid, double now);
    std::optional<double> lastAudible(pid_t pid) const;

    uint32_t slotGeneration(uint32_t slot) const;
    void setSlotGenerationForTesting(uint32_t slot, uint32_t generation);

  private:
    std::optional<uint32_t> firstFreeSlot() const;  // caller holds the lock

    mutable std::mutex mutex_;
    std::map<pid_t, TAKTapEntry> entries_;
    std::array<uint32_t, kSlotCount> slotGenerations_{};
    std::map<pid_t, double> lastAudible_;
};

}  // namespace tobble::engine
