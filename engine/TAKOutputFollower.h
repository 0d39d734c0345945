#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/TAKTapCatalog.h"
#include "engine/pipeline/AppPipeline.h"
#include "engine/pipeline/TAKCrossfadeState.h"
#include "engine/pipeline/TAKRMSBuffer.h"
#include "engine/pipeline/TAKTapManager.h"
#include "engine/pipeline/TAKTeardown.h"
#include "engine/pipeline/TAKVolumeState.h"
#include "platform/Environment.h"

namespace tobble::engine {

// Keeps every pipeline on the output device the user picked, without a gap: when the default
// output changes, each pipeline that follows it gets a secondary on the new device, the two are
// cross-faded by their I/O callbacks, then the primary goes away. An application the user sent
// to a device of its own stays there while that device exists and follows the default
// otherwise; it moves under the same cross-fade when its device is picked, leaves or returns.
// The same cross-fade replaces one pipeline whose application's processes changed. Owns the
// output the engine builds on, the listeners for the default output and the device list, and
// the cross-fade states that callbacks may still read.
//
// Lives on the engine's queue. Between start() and stop() it works on the engine's catalog and
// pipeline map; every entry point returns at once outside that span.
class TAKOutputFollower : public std::enable_shared_from_this<TAKOutputFollower> {
  public:
    // What the follower asks of the engine, on the engine's queue.
    struct Engine {
        std::function<void()> pipelinesChanged;  // a pipeline was replaced: a new client list
        std::function<void()> outputChanged;     // pipelines play on other devices now
        std::function<void()> aggregatesDied;    // aggregates vanished: build everything anew
        // The device uid the user sent the application to, if any (empty function: none).
        std::function<std::optional<std::string>(const std::string& bundleID)> pinnedOutput;
    };
    struct Tables {
        TAKVolumeState& volumeState;
        TAKRMSBuffer& rmsBuffer;
        TAKTeardown& teardown;
        dispatch::QueuePtr callbackQueue;  // where the new pipelines' callbacks run
    };

    static std::shared_ptr<TAKOutputFollower> make(const Environment& environment,
                                                   dispatch::QueuePtr queue, Tables tables,
                                                   Engine engine);
    // A state still attached to a callback that could not be removed is never freed.
    ~TAKOutputFollower();
    TAKOutputFollower(const TAKOutputFollower&) = delete;
    TAKOutputFollower& operator=(const TAKOutputFollower&) = delete;

    void start(std::shared_ptr<TAKTapCatalog> catalog, std::map<uint32_t, AppPipeline>& pipelines);
    // Listeners removed and the output forgotten, so the next start reads the current one.
    void stop();

    // The output pipelines are built on: read from the system when not known, then followed.
    std::optional<std::string> outputUID();
    // Its id once known, 0 before.
    audio::AudioObjectID outputDeviceID() const { return outputDeviceID_; }
    void forgetOutput();

    // Where `entry`'s pipeline belongs: the device the user sent it to while that device is
    // there, else the followed output. Nothing while no output is known.
    std::optional<std::string> outputFor(const TAKTapEntry& entry);
    // Cross-fades every pipeline that is not where it belongs there, one batch per device;
    // `pinnedOnly`: only those of applications the user sent to a device of their own. False
    // when every pipeline already is where it belongs.
    bool moveStrayPipelines(const std::string& reason, bool pinnedOnly = false);

    // A cross-fade is running (the engine's queue sleeps inside it while callbacks play).
    bool isSwitching() const { return isSwitching_; }
    // Cross-fades the pipelines of `slots` onto `outputUID`, all at once.
    void migrate(const std::vector<uint32_t>& slots, const std::string& outputUID,
                 audio::AudioObjectID destinationDeviceID);
    // Replaces one slot's pipeline by one over `objectIDs` on the current output.
    void rebuildSlot(uint32_t slot, pid_t parentPID,
                     const std::set<audio::AudioObjectID>& objectIDs);

    // Frees the retired cross-fade states no callback can read any more.
    void releaseRetiredStates();
    size_t retiredStateCount() const { return retired_.size(); }

    // What the default-output listener does, also after a migration that saw the default move.
    void handleDefaultOutputChanged();

  private:
    struct CrossfadePair;
    // One pipeline to replace: by one over `objectIDs` on the target output.
    struct Move {
        uint32_t slot = 0;
        pid_t pid = 0;
        TAKTap oldTap;
        AppPipeline oldPipe;
        std::set<audio::AudioObjectID> objectIDs;
    };
    // Why a cross-fade runs; it words the log lines.
    enum class Purpose { migration, processSetChange };
    struct StateUser {
        std::shared_ptr<TAKIOProcHost> host;
        uint64_t mark = 0;  // what detachCrossfade() returned
    };
    // A state detached from hosts that may still be called: freed once each of them has begun a
    // later cycle or has had its callback removed (see retire()).
    struct RetiredState {
        std::unique_ptr<TAKCrossfadeState> state;
        std::vector<StateUser> users;
    };

    TAKOutputFollower(const Environment& environment, dispatch::QueuePtr queue, Tables tables,
                      Engine engine);

    bool isRunning() const { return pipelines_ != nullptr; }
    void installListeners();
    void removeListeners();
    void overlapRebuild(const std::string& outputUID, audio::AudioObjectID destinationDeviceID);
    // Active slots whose pipeline belongs on another device, by that device's uid.
    std::map<std::string, std::vector<uint32_t>> strayPipelines(bool pinnedOnly = false);
    bool isPinned(const TAKTapEntry& entry) const;
    // Builds a secondary for each move, cross-fades all of them at once, then retires the
    // primaries. Returns how many pipelines were replaced.
    size_t crossfade(const std::vector<Move>& moves, const std::string& outputUID,
                     bool bluetoothTarget, Purpose purpose);
    AppPipeline buildSecondary(uint32_t slot, pid_t pid, const TAKTap& newTap,
                               const std::string& outputUID, TAKCrossfadeState& state);
    void waitForSecondaries(const std::vector<TAKCrossfadeState*>& states, bool bluetoothTarget);
    void fadeAndWait(const std::vector<std::pair<TAKCrossfadeState*, double>>& statesAndRates);
    void retire(std::unique_ptr<TAKCrossfadeState> state, std::vector<StateUser> users);
    bool isBluetooth(audio::AudioObjectID device) const;
    void scheduleDevicesListCheck();
    void handleDevicesListChanged();

    template <typename Fn>
    auto weakly(Fn fn) {
        return [weak = weak_from_this(), fn] {
            if (auto self = weak.lock()) fn(*self);
        };
    }

    const Environment env_;
    const dispatch::QueuePtr queue_;
    const Tables tables_;
    const Engine engine_;
    const TAKTapManager tapManager_;

    std::shared_ptr<TAKTapCatalog> catalog_;
    std::map<uint32_t, AppPipeline>* pipelines_ = nullptr;
    audio::AudioObjectID outputDeviceID_ = 0;
    std::optional<std::string> outputUID_;
    bool isSwitching_ = false;
    audio::PropertyListenerBlock defaultOutputListener_;
    audio::PropertyListenerBlock devicesListener_;
    dispatch::WorkItemPtr devicesDebounceWork_;
    std::vector<RetiredState> retired_;
};

}  // namespace tobble::engine
