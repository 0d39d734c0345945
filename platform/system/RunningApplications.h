#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Queue.h"

namespace tobble::system {

enum class ActivationPolicy { Regular, Accessory, Prohibited };

// What the user interface needs to draw an application's icon; the platform layer stays free of
// image types. The UI turns a handle into a picture.
struct IconHandle {
    enum class Kind {
        None,        // no icon known: the UI shows its placeholder
        Generic,     // the system's generic application icon
        ThemeName,   // a name in the desktop's icon theme
        FilePath,    // an image file
        LetterTile,  // a generated tile: `value` is the letter, `color` its background (0xRRGGBB)
    };
    Kind kind = Kind::None;
    std::string value;
    uint32_t color = 0;

    friend bool operator==(const IconHandle&, const IconHandle&) = default;
};

// One entry of the running-applications list.
struct RunningApplication {
    pid_t pid = 0;
    std::optional<std::string> bundleID;
    bool isAppBundle = false;

    friend bool operator==(const RunningApplication&, const RunningApplication&) = default;
};

// Details of one running application, looked up by pid.
struct ApplicationDetails {
    std::optional<std::string> bundleID;
    std::optional<std::string> localizedName;
    IconHandle icon;
    ActivationPolicy activationPolicy = ActivationPolicy::Regular;
};

// Keeps an observation alive; dropping it ends the observation.
using ObservationToken = std::shared_ptr<void>;

class RunningApplications {
  public:
    virtual ~RunningApplications() = default;

    // The running applications, in the workspace's order.
    virtual std::vector<RunningApplication> snapshot() const = 0;
    virtual std::optional<ApplicationDetails> lookup(pid_t pid) const = 0;

    // Launch and termination notifications, delivered on `queue` with the application's pid.
    using Observer = std::function<void(pid_t)>;
    virtual ObservationToken observeLaunches(dispatch::QueuePtr queue, Observer observer) = 0;
    virtual ObservationToken observeTerminations(dispatch::QueuePtr queue, Observer observer) = 0;
};

// The operating system's "which process is responsible for this one" query. Empty where the
// platform has none; the answer is empty when the query fails.
using ResponsibleProcessLookup = std::function<std::optional<pid_t>(pid_t)>;

}  // namespace tobble::system
