#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "engine/pipeline/TAKAggregateBuilder.h"
#include "engine/pipeline/TAKIOProcHost.h"

namespace tobble::engine {

// What plays one application's sound: the aggregate around its tap and the callback on it.
struct AppPipeline {
    uint32_t slot = 0;
    pid_t pid = 0;
    std::string tapUID;  // the tap the aggregate was built on
    TAKAggregateInfo aggregate;
    std::shared_ptr<TAKIOProcHost> ioProc;
};

}  // namespace tobble::engine
