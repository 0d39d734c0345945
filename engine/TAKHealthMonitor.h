#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/TAKOutputFollower.h"
#include "engine/TAKTapCatalog.h"
#include "engine/core/TAKProcessRegistry.h"
#include "engine/pipeline/AppPipeline.h"
#include "engine/pipeline/TAKVolumeState.h"
#include "platform/Environment.h"

namespace tobble::engine {

// Notices pipelines that fail quietly and repairs them, every two seconds: pipelines left on an
// output other than the one they belong on (the followed one, or the application's own) are
// moved there, and an application whose callback
// has stopped while it plays is rebuilt under a cross-fade after three missed checks (then left
// alone for twenty seconds), or torn down so the next pass admits it afresh when it has left the
// grouped process list.
//
// Lives on the engine's queue. Between start() and stop() it works on the engine's catalog and
// pipeline map; the timer is gone outside that span.
class TAKHealthMonitor : public std::enable_shared_from_this<TAKHealthMonitor> {
  public:
    // What the monitor asks of the engine, on the engine's queue.
    struct Engine {
        // The audible process groups; nothing (and one error line with `failurePrefix`) when the
        // registry cannot be read.
        std::function<std::optional<std::vector<TAKAppGroup>>(std::string_view failurePrefix)>
            readAppGroups;
        // Removes the application's pipeline, tap and entry.
        std::function<void(pid_t)> tearDown;
    };

    static std::shared_ptr<TAKHealthMonitor> make(const Environment& environment,
                                                  dispatch::QueuePtr queue,
                                                  TAKVolumeState& volumeState,
                                                  TAKOutputFollower& follower, Engine engine);

    void start(std::shared_ptr<TAKTapCatalog> catalog, std::map<uint32_t, AppPipeline>& pipelines);
    void stop();
    // The application is gone from the catalog: its misses and cool-down go with it.
    void forget(pid_t pid);
    void forgetAll();

  private:
    TAKHealthMonitor(const Environment& environment, dispatch::QueuePtr queue,
                     TAKVolumeState& volumeState, TAKOutputFollower& follower, Engine engine);

    void runCheck();
    bool moveStalePipelines();
    void recover(pid_t pid);

    const Environment env_;
    const dispatch::QueuePtr queue_;
    TAKVolumeState& volumeState_;
    TAKOutputFollower& follower_;
    const Engine engine_;

    std::shared_ptr<TAKTapCatalog> catalog_;
    std::map<uint32_t, AppPipeline>* pipelines_ = nullptr;
    dispatch::TimerPtr timer_;
    std::map<pid_t, int> consecutiveMisses_;
    std::map<pid_t, double> cooldownUntil_;
};

}  // namespace tobble::engine
