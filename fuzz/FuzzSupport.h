#pragma once

#include <cstdio>
#include <cstdlib>

#include "platform/log/Log.h"

namespace tobble::fuzz {

// Decode failures are the common case here; writing each to stderr would only slow the search.
inline void silenceLogs() {
    static const bool silenced = (log::setSink(nullptr), true);
    (void)silenced;
}

// A broken property: stop with a message, so the fuzzer keeps the input as a crash.
[[noreturn]] inline void fail(const char* property) {
    std::fprintf(stderr, "property violated: %s\n", property);
    std::abort();
}

}  // namespace tobble::fuzz
