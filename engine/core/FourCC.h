#pragma once

#include <cstdint>
#include <string>

namespace tobble::engine {

// Renders a code as four characters, most significant byte first; bytes outside printable ASCII
// (32…126) become '?'. Signed statuses go in by bit pattern: -50 renders as "????".
std::string fourCC(uint32_t code);
inline std::string fourCC(int32_t status) { return fourCC(static_cast<uint32_t>(status)); }

// "<status> (<fourCC>)", the form every status takes in messages.
std::string statusText(int32_t status);

}  // namespace tobble::engine
