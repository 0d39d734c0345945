#include "engine/pipeline/TAKTeardown.h"

#include <string>

#include "engine/core/TAKLog.h"
#include "engine/pipeline/TAKTapManager.h"

namespace tobble::engine {

TAKTeardown::~TAKTeardown() {
    for (auto& pipeline : pipelines_) {
        if (!pipeline.host || !pipeline.host->isInstalled()) continue;
        TAKLog::log().error("teardown: callback of slot=" + std::to_string(pipeline.host->slot()) +
                            " could not be removed — its host is kept for good");
        new std::shared_ptr<TAKIOProcHost>(std::move(pipeline.host));  // never freed, on purpose
    }
}

void TAKTeardown::removePipeline(std::shared_ptr<TAKIOProcHost> host,
                                 std::optional<TAKAggregateInfo> aggregate) {
    Pipeline pipeline{std::move(host), std::move(aggregate)};
    if (!remove(pipeline)) pipelines_.push_back(std::move(pipeline));
}

void TAKTeardown::removeTap(const TAKTap& tap) {
    if (!TAKTapManager(hardware_).destroy(tap)) taps_.push_back(tap);
}

void TAKTeardown::retry() {
    std::erase_if(pipelines_, [this](Pipeline& pipeline) { return remove(pipeline); });
    const TAKTapManager taps(hardware_);
    std::erase_if(taps_, [&taps](const TAKTap& tap) { return taps.destroy(tap); });
}

bool TAKTeardown::remove(Pipeline& pipeline) {
    if (pipeline.host) {
        if (!pipeline.host->stop()) return false;
        pipeline.host.reset();
    }
    if (pipeline.aggregate) {
        if (!TAKAggregateBuilder(hardware_).destroy(*pipeline.aggregate)) return false;
        pipeline.aggregate.reset();
    }
    return true;
}

}  // namespace tobble::engine
