#pragma once

#include "platform/log/Log.h"

namespace tobble::engine {

// The engine's log handle: subsystem from the identifier stem, category "TAK". Created once,
// thread-safely, on first use.
struct TAKLog {
    static const log::Logger& log();
};

}  // namespace tobble::engine
