#pragma once

#include <cstdint>
#include <vector>

#include "platform/audio/AudioHardware.h"

namespace tobble::engine {

// Keeps the ids of every live aggregate device so that a fatal signal can destroy them before
// the process dies; otherwise the system would keep capturing the tapped applications' sound.
struct TAKCrashGuard {
    static constexpr int kCapacity = 64;

    // Once per process: the table and the handlers for SIGABRT, SIGSEGV, SIGBUS and SIGTRAP.
    // Every call points the handler at `hardware`, the interface the engine currently uses.
    static void install(audio::AudioHardware& hardware);
    static bool installed();

    static void track(audio::AudioObjectID aggregate);
    static void untrack(audio::AudioObjectID aggregate);

    static std::vector<audio::AudioObjectID> trackedForTesting();
    static void clearForTesting();
};

// Removes aggregate devices that an earlier run left behind (recognised by the engine's UID
// prefix). Runs at every engine start; failures are logged and never stop the start.
struct TAKOrphanedCleanup {
    static void destroyOrphans(audio::AudioHardware& hardware);
};

}  // namespace tobble::engine
