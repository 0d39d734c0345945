#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace tobble::engine {

// One client as the application layer sees it: one per application (bundle key). (slot,
// generation) is its identity, to be handed back with every change.
struct TobbleClient {
    static constexpr uint32_t kMutedFlag = 1u << 0;

    uint32_t clientID = 0;  // equals `slot`
    pid_t pid = 0;
    float volume = 1.0f;
    uint32_t flags = 0;  // kMutedFlag when muted
    uint32_t slot = 0;
    uint32_t generation = 0;
    std::string bundleID;  // the bundle id, or "pid:<pid>" when the application has none

    bool isMuted() const { return (flags & kMutedFlag) != 0; }
    friend bool operator==(const TobbleClient&, const TobbleClient&) = default;
};

}  // namespace tobble::engine
