#pragma once

#include <array>
#include <string_view>

#include "engine/core/Identity.h"

namespace tobble::app {

// Audio clients that are part of the system or of this app rather than something the user
// plays: the panel never shows them. A prefix also covers every identifier that continues it.
inline constexpr std::array<std::string_view, 15> kSystemProcessPrefixes = {
    "com.apple.audio.",
    "com.apple.coreaudio",
    "com.apple.CoreSpeech",
    "com.apple.corespeechd",
    "com.apple.avconferenced",
    "com.apple.mediaremoted",
    "com.apple.controlcenter",
    "com.apple.loginwindow",
    "com.apple.universalaccessd",
    "com.apple.cmio.",
    "com.apple.audiomxd",
    "com.apple.cloudpaird",
    "com.apple.TelephonyUtilities",
    "com.apple.PowerChime",
    engine::kIdentifierStem,  // the app's own processes
};

inline bool isSystemProcess(std::string_view bundleID) {
    for (const auto prefix : kSystemProcessPrefixes) {
        if (bundleID.starts_with(prefix)) return true;
    }
    return false;
}

}  // namespace tobble::app
