#include "shell/AccessibilityManager.h"

#include <stdexcept>
#include <vector>

namespace tobble::shell {

namespace {
std::shared_ptr<AccessibilityManager>& sharedSlot() {
    static std::shared_ptr<AccessibilityManager> manager;
    return manager;
}
}  // namespace

AccessibilityManager::AccessibilityManager(dispatch::Dispatcher& dispatcher, TrustQuery trusted,
                                           NotificationCenter& notifications,
                                           std::function<void()> openSettings)
    : dispatcher_(dispatcher),
      trusted_(std::move(trusted)),
      notifications_(notifications),
      openSettings_(std::move(openSettings)) {
    isGranted_ = queryTrusted();
}

std::shared_ptr<AccessibilityManager> AccessibilityManager::make(
    dispatch::Dispatcher& dispatcher, TrustQuery trusted, NotificationCenter& notifications,
    std::function<void()> openSettings) {
    return std::shared_ptr<AccessibilityManager>(new AccessibilityManager(
        dispatcher, std::move(trusted), notifications, std::move(openSettings)));
}

void AccessibilityManager::configureShared(std::shared_ptr<AccessibilityManager> manager) {
    if (!sharedSlot()) sharedSlot() = std::move(manager);
}

AccessibilityManager& AccessibilityManager::shared() {
    if (!sharedSlot()) throw std::logic_error("AccessibilityManager::configureShared() not called");
    return *sharedSlot();
}

void AccessibilityManager::refresh() {
    const bool now = queryTrusted();
    if (now == isGranted_) return;
    isGranted_ = now;
    // Observers may drop their subscription while being told.
    std::vector<std::function<void(bool)>> handlers;
    for (const auto& [id, handler] : *observers_) handlers.push_back(handler);
    for (const auto& handler : handlers) {
        if (handler) handler(now);
    }
    if (now) notifications_.post(kAccessibilityGrantedNotification);
}

void AccessibilityManager::startPolling() {
    ++pollingRefCount_;
    if (pollingRefCount_ != 1) return;
    std::weak_ptr<AccessibilityManager> weak = weak_from_this();
    pollTimer_ =
        dispatcher_.makeRepeatingTimer(dispatcher_.mainQueuePtr(), 0.0, kPollInterval, [weak] {
            if (auto self = weak.lock()) self->refresh();
        });
}

void AccessibilityManager::stopPolling() {
    if (pollingRefCount_ < 1) return;
    --pollingRefCount_;
    if (pollingRefCount_ == 0 && pollTimer_) {
        pollTimer_->cancel();
        pollTimer_.reset();
    }
}

void AccessibilityManager::openSettings() {
    if (openSettings_) openSettings_();
}

ui::Subscription AccessibilityManager::observe(std::function<void(bool)> changed) {
    const uint64_t id = nextObserver_++;
    (*observers_)[id] = std::move(changed);
    std::weak_ptr<std::map<uint64_t, std::function<void(bool)>>> weak = observers_;
    return std::shared_ptr<void>(nullptr, [weak, id](void*) {
        if (auto observers = weak.lock()) observers->erase(id);
    });
}

}  // namespace tobble::shell
