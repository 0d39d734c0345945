#include "engine/core/TAKProcessRegistryWatcher.h"

#include <set>

#include "engine/core/TAKCoreAudio.h"
#include "engine/core/TAKLog.h"
#include "platform/dispatch/QueueCheck.h"

namespace tobble::engine {

using namespace audio;

namespace {
constexpr PropertyAddress kProcessListAddress{kAudioHardwarePropertyProcessObjectList,
                                              kAudioObjectPropertyScopeGlobal,
                                              kAudioObjectPropertyElementMain};
constexpr PropertyAddress kIsRunningAddress{kAudioProcessPropertyIsRunning,
                                            kAudioObjectPropertyScopeGlobal,
                                            kAudioObjectPropertyElementMain};
}  // namespace

std::shared_ptr<TAKProcessRegistryWatcher> TAKProcessRegistryWatcher::make(
    AudioHardware& hardware, dispatch::QueuePtr queue, std::function<void()> onChange,
    dispatch::Seconds debounce) {
    return std::shared_ptr<TAKProcessRegistryWatcher>(
        new TAKProcessRegistryWatcher(hardware, std::move(queue), std::move(onChange), debounce));
}

TAKProcessRegistryWatcher::TAKProcessRegistryWatcher(AudioHardware& hardware, dispatch::QueuePtr q,
                                                     std::function<void()> handler,
                                                     dispatch::Seconds interval)
    : hardware_(hardware),
      queue_(std::move(q)),
      onChange_(std::move(handler)),
      debounce_(interval) {}

TAKProcessRegistryWatcher::~TAKProcessRegistryWatcher() { stop(); }

void TAKProcessRegistryWatcher::start() {
    if (isInstalled_.load()) return;
    std::weak_ptr<TAKProcessRegistryWatcher> weak = weak_from_this();
    auto block =
        makeListenerBlock([weak, q = queue_](AudioObjectID, std::span<const PropertyAddress>) {
            auto self = weak.lock();
            if (!self) return;
            q->async([weak] {
                if (auto s = weak.lock()) s->refreshPerProcessListeners();
            });
            self->scheduleDebounced();
        });
    const OSStatus status =
        hardware_.addPropertyListener(kAudioObjectSystemObject, kProcessListAddress, queue_, block);
    if (status != kAudioHardwareNoError) {
        TAKLog::log().error("ProcessRegistryWatcher install failed status=" +
                            std::to_string(status));
        return;
    }
    listenerBlock_ = std::move(block);
    isInstalled_.store(true);
    queue_->async([weak] {
        if (auto s = weak.lock()) s->refreshPerProcessListeners();
    });
}

void TAKProcessRegistryWatcher::stop() {
    if (!isInstalled_.load() || !listenerBlock_) return;
    hardware_.removePropertyListener(kAudioObjectSystemObject, kProcessListAddress, queue_,
                                     listenerBlock_);
    listenerBlock_.reset();
    isInstalled_.store(false);
    {
        std::lock_guard lock(pendingMutex_);
        if (pendingWork_) pendingWork_->cancel();
        pendingWork_.reset();
    }
    auto removeAll = [&hardware = hardware_, q = queue_, registrations = registrations_] {
        removeAllPerProcessListeners(hardware, q, *registrations);
    };
    // On its own queue, as the engine stops it, the removal runs now: once stop() has returned
    // the owner may let the hardware go (a quitting program does), and removal work still queued
    // would then reach a hardware that no longer exists. From another thread it is queued; it
    // holds the registrations, not the watcher, so it runs even when the watcher is gone by then.
    if (queue_->isCurrent()) {
        removeAll();
    } else {
        queue_->async(std::move(removeAll));
    }
}

void TAKProcessRegistryWatcher::refreshPerProcessListeners() {
    dispatch::assertOnQueue(queue_);
    // A refresh queued before stop() must not register anything afterwards.
    if (!isInstalled_.load()) return;
    std::vector<AudioObjectID> objects;
    try {
        objects = TAKCoreAudio(hardware_).getPropertyArray(kAudioObjectSystemObject,
                                                           kAudioHardwarePropertyProcessObjectList);
    } catch (const TAKError& error) {
        TAKLog::log().error("ProcessRegistryWatcher: failed to read process list: " +
                            error.description());
        return;
    }
    const std::set<AudioObjectID> listed(objects.begin(), objects.end());
    auto& blocks = registrations_->perProcessBlocks;
    for (auto it = blocks.begin(); it != blocks.end();) {
        if (listed.count(it->first)) {
            ++it;
            continue;
        }
        hardware_.removePropertyListener(it->first, kIsRunningAddress, queue_, it->second);
        it = blocks.erase(it);
    }
    for (AudioObjectID object : objects) {
        if (!blocks.count(object)) addPerProcessListener(object);
    }
}

void TAKProcessRegistryWatcher::addPerProcessListener(AudioObjectID object) {
    dispatch::assertOnQueue(queue_);
    std::weak_ptr<TAKProcessRegistryWatcher> weak = weak_from_this();
    auto block = makeListenerBlock([weak](AudioObjectID, std::span<const PropertyAddress>) {
        if (auto self = weak.lock()) self->scheduleDebounced();
    });
    if (hardware_.addPropertyListener(object, kIsRunningAddress, queue_, block) ==
        kAudioHardwareNoError) {
        registrations_->perProcessBlocks.emplace(object, std::move(block));
    }
}

void TAKProcessRegistryWatcher::removeAllPerProcessListeners(AudioHardware& hardware,
                                                             const dispatch::QueuePtr& q,
                                                             Registrations& registrations) {
    dispatch::assertOnQueue(q);
    for (const auto& [object, block] : registrations.perProcessBlocks) {
        hardware.removePropertyListener(object, kIsRunningAddress, q, block);
    }
    registrations.perProcessBlocks.clear();
}

void TAKProcessRegistryWatcher::scheduleDebounced() {
    // Notifications already queued when stop() ran must not bring onChange back.
    if (!isInstalled_.load()) return;
    std::weak_ptr<TAKProcessRegistryWatcher> weak = weak_from_this();
    auto item = std::make_shared<dispatch::WorkItem>([weak] {
        if (auto self = weak.lock()) self->onChange_();
    });
    {
        std::lock_guard lock(pendingMutex_);
        if (pendingWork_) pendingWork_->cancel();
        pendingWork_ = item;
    }
    queue_->asyncAfter(debounce_, item);
}

}  // namespace tobble::engine
