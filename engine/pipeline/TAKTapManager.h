#pragma once

#include <optional>
#include <set>
#include <string>

#include "engine/pipeline/TAKTap.h"
#include "platform/audio/AudioHardware.h"

namespace tobble::engine {

// Creates and destroys process taps. Stateless; used on the engine's queue only.
class TAKTapManager {
  public:
    explicit TAKTapManager(audio::AudioHardware& hardware) : hardware_(hardware) {}

    // A tap over the given processes, silenced at the real output while it is read. Tries one
    // stream of the preferred output device first, then a stereo mixdown. Throws TAKError.
    TAKTap createTap(pid_t pid, const std::set<audio::AudioObjectID>& objectIDs,
                     const std::optional<std::string>& preferredOutputUID) const;

    // True once the tap is gone. Never throws; a failure is logged with its status.
    bool destroy(const TAKTap& tap) const;

    // The settings every engine tap carries, applied to a description of either shape.
    static void applyCommonSettings(audio::TapDescription& description, pid_t pid,
                                    size_t processCount);

  private:
    TAKTap finalize(audio::AudioObjectID tapID, pid_t pid,
                    const std::set<audio::AudioObjectID>& processObjectIDs) const;

    audio::AudioHardware& hardware_;
};

}  // namespace tobble::engine
