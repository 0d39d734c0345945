#pragma once

#include <string>

#include "platform/audio/AudioHardware.h"

namespace tobble::engine {

// One built aggregate device: the real output as main and clock device, one tap inside.
struct TAKAggregateInfo {
    audio::AudioObjectID aggregateID = 0;
    std::string aggregateUID;
    std::string tapUID;
    std::string outputUID;
};

// Builds and destroys the private aggregate device that plays one application's tap.
class TAKAggregateBuilder {
  public:
    explicit TAKAggregateBuilder(audio::AudioHardware& hardware) : hardware_(hardware) {}

    // Throws TAKError when the device cannot be created; the caller destroys its tap then.
    TAKAggregateInfo build(const std::string& tapUID, const std::string& outputUID) const;
    // True once the device is gone. Never throws; a failure is logged with its status, and the
    // device stays known to the crash guard until a later call removes it.
    bool destroy(const TAKAggregateInfo& aggregate) const;

    // The description handed to the audio system: exactly nine keys.
    static audio::AudioValue description(const std::string& aggregateUID, const std::string& tapUID,
                                         const std::string& outputUID);
    // The engine's prefix followed by a fresh upper-case UUID.
    static std::string makeAggregateUID();

    static constexpr const char* kAggregateName = "Tobble Audio Kit";

  private:
    audio::AudioHardware& hardware_;
};

}  // namespace tobble::engine
