#include "engine/core/TAKLog.h"

#include "engine/core/Identity.h"

namespace tobble::engine {

const log::Logger& TAKLog::log() {
    static const log::Logger logger(logSubsystem(), "TAK");
    return logger;
}

}  // namespace tobble::engine
