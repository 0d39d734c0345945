#pragma once

#include <optional>
#include <string>

namespace tobble::engine {

// The output devices the user picked for single applications, as the engine needs them. The
// application layer's pin store implements it; an application without a pin follows the
// system's default output.
class TAKOutputPins {
  public:
    virtual ~TAKOutputPins() = default;
    // The uid of the device `bundleID` plays on, or nothing when it follows the default.
    virtual std::optional<std::string> pinnedOutput(const std::string& bundleID) = 0;
};

}  // namespace tobble::engine
