#pragma once

#include <sys/types.h>

#include <set>
#include <string>

#include "platform/audio/AudioTypes.h"

namespace tobble::engine {

// The engine's record of one live process tap.
struct TAKTap {
    pid_t pid = 0;                                    // parent application the tap was made for
    std::set<audio::AudioObjectID> processObjectIDs;  // the processes it captures
    audio::AudioObjectID tapID = 0;
    std::string uid;                            // referenced by the aggregate device
    audio::AudioStreamBasicDescription format;  // all zero when unreadable
};

}  // namespace tobble::engine
