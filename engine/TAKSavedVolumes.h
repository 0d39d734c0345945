#pragma once

#include <optional>
#include <string>

namespace tobble::engine {

// The saved per-application volumes, as the engine and the client bridge need them. The
// application layer's volume store implements it; the engine does not know how it is kept.
class TAKSavedVolumes {
  public:
    struct Saved {
        float volume = 1.0f;
        bool isMuted = false;
    };

    virtual ~TAKSavedVolumes() = default;
    virtual std::optional<Saved> savedVolume(const std::string& bundleID) = 0;
    virtual void save(const std::string& bundleID, float volume, bool isMuted) = 0;
    // The loudest volume an application may be given now: 1.0 unless the user allows more (up
    // to kMaxVolume). savedVolume() already answers within it.
    virtual float volumeLimit() { return 1.0f; }
};

}  // namespace tobble::engine
