#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/audio/AudioTypes.h"
#include "platform/audio/sim/SimAudioSystem.h"

namespace tobble::audio::sim::detail {

inline constexpr size_t kSimCallCount = static_cast<size_t>(SimCall::DeviceStop) + 1;

// Injected failures and call counters. Not thread-safe on its own: the sim's lock guards it.
class FaultTable {
  public:
    void failNext(SimCall call, OSStatus status, int count, std::optional<uint32_t> selector);
    void clear();

    // Counts the call, then consumes and returns the first matching injected status, if any.
    // Rules with a selector only match calls that address that selector.
    std::optional<OSStatus> onCall(SimCall call, std::optional<uint32_t> selector = std::nullopt);

    uint64_t callCount(SimCall call) const;

  private:
    struct Rule {
        SimCall call;
        OSStatus status;
        int remaining;
        std::optional<uint32_t> selector;
    };
    std::vector<Rule> rules_;
    std::array<uint64_t, kSimCallCount> counts_{};
};

}  // namespace tobble::audio::sim::detail
