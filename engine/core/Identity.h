#pragma once

#include <string>
#include <string_view>

namespace tobble::engine {

// The application's reverse-DNS identifier stem. Queue labels, the log subsystem and the UIDs
// of the engine's aggregate devices are all formed from it here, and nowhere else.
inline constexpr std::string_view kIdentifierStem = "org.tobble.";

// A dispatch-queue label: the stem followed by `suffix` ("tak.reconcile").
inline std::string queueLabel(std::string_view suffix) {
    return std::string(kIdentifierStem) + std::string(suffix);
}

// The log subsystem, which is also the application's bundle identifier.
inline std::string logSubsystem() { return std::string(kIdentifierStem) + "app"; }

// Every aggregate device the engine creates, and nothing else, carries this UID prefix.
inline std::string aggregateUIDPrefix() { return std::string(kIdentifierStem) + "tak."; }

}  // namespace tobble::engine
