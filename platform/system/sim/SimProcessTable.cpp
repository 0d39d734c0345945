#include <algorithm>

#include "platform/audio/sim/SimAudioSystem.h"
#include "platform/system/sim/SimRunningApplications.h"

// Kept apart from the workspace so that code using only the workspace does not pull in the
// simulated audio system at link time.

namespace tobble::system::sim {

SimProcessTable::SimProcessTable(const audio::sim::SimAudioSystem& audio,
                                 const SimRunningApplications& apps, pid_t ownPid)
    : audio_(audio), apps_(apps), ownPid_(ownPid) {}

void SimProcessTable::addProcess(pid_t pid) {
    std::lock_guard lock(mutex_);
    if (std::find(extra_.begin(), extra_.end(), pid) == extra_.end()) extra_.push_back(pid);
}

void SimProcessTable::removeProcess(pid_t pid) {
    std::lock_guard lock(mutex_);
    extra_.erase(std::remove(extra_.begin(), extra_.end(), pid), extra_.end());
}

bool SimProcessTable::exists(pid_t pid) const {
    if (pid <= 0) return false;
    if (pid == ownPid_) return true;
    {
        std::lock_guard lock(mutex_);
        if (std::find(extra_.begin(), extra_.end(), pid) != extra_.end()) return true;
    }
    // Asked outside our lock: both answer under locks of their own.
    return apps_.isRunning(pid) || audio_.processExists(pid);
}

}  // namespace tobble::system::sim
