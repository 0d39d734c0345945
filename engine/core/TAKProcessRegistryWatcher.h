#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/audio/AudioHardware.h"
#include "platform/dispatch/Queue.h"

namespace tobble::engine {

// Turns changes of the process list and of each process's running state into one debounced
// call of `onChange` on `queue`. All listener work happens on `queue` (checked in debug builds).
class TAKProcessRegistryWatcher : public std::enable_shared_from_this<TAKProcessRegistryWatcher> {
  public:
    static std::shared_ptr<TAKProcessRegistryWatcher> make(audio::AudioHardware& hardware,
                                                           dispatch::QueuePtr queue,
                                                           std::function<void()> onChange,
                                                           dispatch::Seconds debounce);
    ~TAKProcessRegistryWatcher();

    TAKProcessRegistryWatcher(const TAKProcessRegistryWatcher&) = delete;
    TAKProcessRegistryWatcher& operator=(const TAKProcessRegistryWatcher&) = delete;

    void start();
    void stop();

    bool isInstalled() const { return isInstalled_.load(); }

  private:
    // The per-process registrations. Shared with the removal task that stop() enqueues, so the
    // removal still runs when the owner drops the watcher right after stopping it.
    struct Registrations {
        std::map<audio::AudioObjectID, audio::PropertyListenerBlock> perProcessBlocks;
    };

    TAKProcessRegistryWatcher(audio::AudioHardware& hardware, dispatch::QueuePtr queue,
                              std::function<void()> onChange, dispatch::Seconds debounce);

    void refreshPerProcessListeners();
    void addPerProcessListener(audio::AudioObjectID object);
    static void removeAllPerProcessListeners(audio::AudioHardware& hardware,
                                             const dispatch::QueuePtr& queue,
                                             Registrations& registrations);
    void scheduleDebounced();

    audio::AudioHardware& hardware_;
    const dispatch::QueuePtr queue_;
    const std::function<void()> onChange_;
    const dispatch::Seconds debounce_;

    std::mutex pendingMutex_;  // stop() may run off the queue
    dispatch::WorkItemPtr pendingWork_;
    std::atomic<bool> isInstalled_{false};
    audio::PropertyListenerBlock listenerBlock_;
    std::shared_ptr<Registrations> registrations_ = std::make_shared<Registrations>();
};

}  // namespace tobble::engine
