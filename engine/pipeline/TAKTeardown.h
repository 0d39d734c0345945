#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "engine/pipeline/TAKAggregateBuilder.h"
#include "engine/pipeline/TAKIOProcHost.h"
#include "engine/pipeline/TAKTap.h"
#include "platform/audio/AudioHardware.h"

namespace tobble::engine {

// Removes what the engine made on the audio system: a pipeline's callback and then its
// aggregate, and taps. What fails to go is kept and tried again by retry() until it goes, so
// nothing is forgotten on the system. A kept host is never freed while its callback may still
// be called (the callback points into it); it has been silenced, so it is never heard either.
// Used on the engine's queue only.
class TAKTeardown {
  public:
    explicit TAKTeardown(audio::AudioHardware& hardware) : hardware_(hardware) {}
    // Whatever is still kept outlives this object on purpose: a host whose callback could not
    // be removed is leaked rather than freed under a callback.
    ~TAKTeardown();
    TAKTeardown(const TAKTeardown&) = delete;
    TAKTeardown& operator=(const TAKTeardown&) = delete;

    // Stops and removes the host's callback (when it has one), then destroys the aggregate (when
    // given) once no callback of ours can run on it.
    void removePipeline(std::shared_ptr<TAKIOProcHost> host,
                        std::optional<TAKAggregateInfo> aggregate);
    void removeTap(const TAKTap& tap);

    // One more attempt at everything kept.
    void retry();
    size_t pendingCount() const { return pipelines_.size() + taps_.size(); }
    bool empty() const { return pendingCount() == 0; }

  private:
    struct Pipeline {
        std::shared_ptr<TAKIOProcHost> host;  // null once its callback is gone
        std::optional<TAKAggregateInfo> aggregate;
    };
    // True once nothing of it is left.
    bool remove(Pipeline& pipeline);

    audio::AudioHardware& hardware_;
    std::vector<Pipeline> pipelines_;
    std::vector<TAKTap> taps_;
};

}  // namespace tobble::engine
