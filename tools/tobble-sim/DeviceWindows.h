#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "platform/audio/sim/SimAudioSystem.h"

namespace tobble::simtool {

// What reached one device, as RMS per 10 ms window of virtual time (all channels) and the
// largest absolute sample: {"uid", "windowMs", "rms", "peak"}.
nlohmann::ordered_json deviceWindows(const audio::sim::SimAudioSystem& audio,
                                     const std::string& uid, uint32_t channels, double sampleRate,
                                     double end);

}  // namespace tobble::simtool
