#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/system/RunningApplications.h"

namespace tobble::engine {

// The display name and icon of a process, for the panel.
struct TAKProcessMetadata {
    struct Result {
        std::string name;
        system::IconHandle icon;
    };

    // Name: the application's localized name when it is a running application, else the last
    // component of the bundle id, else "Unknown (pid N)". Icon: the application's, else the
    // generic application icon.
    static Result resolve(const system::RunningApplications& applications, pid_t pid,
                          const std::optional<std::string>& bundleID);
};

}  // namespace tobble::engine
