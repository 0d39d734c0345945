#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "platform/dispatch/Dispatcher.h"
#include "shell/Notifications.h"
#include "ui/PanelContext.h"

namespace tobble::shell {

// Whether the global shortcut can be watched in other applications ("trusted"), published for
// the views, with a fast poll while a view that shows it is on screen. On Linux the answer is
// whether a global key grab works in this session (X11 yes, Wayland no); on macOS it would be
// the accessibility trust query. Main-thread object.
class AccessibilityManager final : public ui::AccessibilityPermission,
                                   public std::enable_shared_from_this<AccessibilityManager> {
  public:
    using TrustQuery = std::function<bool()>;

    static constexpr dispatch::Seconds kPollInterval = 0.3;

    // `trusted` is asked at creation and on every refresh. `openSettings` opens where the user
    // can grant access (or, where nothing can be granted, the page that explains it).
    static std::shared_ptr<AccessibilityManager> make(dispatch::Dispatcher& dispatcher,
                                                      TrustQuery trusted,
                                                      NotificationCenter& notifications,
                                                      std::function<void()> openSettings);

    // The process-wide instance the app's views and delegate use; configure it once at start.
    static void configureShared(std::shared_ptr<AccessibilityManager> manager);
    static AccessibilityManager& shared();

    bool isGranted() const override { return isGranted_; }
    // Re-reads trust; a change is published, and a change to granted posts
    // "tobbleAccessibilityGranted". Revocations and unchanged values post nothing.
    void refresh() override;
    // Reference-counted: the first start polls at once and then every 0.3 s; the last stop
    // ends it. Surplus stops do nothing.
    void startPolling() override;
    void stopPolling() override;
    void openSettings() override;
    [[nodiscard]] ui::Subscription observe(std::function<void(bool)> changed) override;

    // The raw query, for the delegate's slow watch.
    bool queryTrusted() const { return trusted_ ? trusted_() : false; }
    int pollingRefCount() const { return pollingRefCount_; }
    bool isPolling() const { return pollTimer_ != nullptr; }

  private:
    AccessibilityManager(dispatch::Dispatcher& dispatcher, TrustQuery trusted,
                         NotificationCenter& notifications, std::function<void()> openSettings);

    dispatch::Dispatcher& dispatcher_;
    TrustQuery trusted_;
    NotificationCenter& notifications_;
    std::function<void()> openSettings_;
    bool isGranted_ = false;
    dispatch::TimerPtr pollTimer_;
    int pollingRefCount_ = 0;
    std::shared_ptr<std::map<uint64_t, std::function<void(bool)>>> observers_ =
        std::make_shared<std::map<uint64_t, std::function<void(bool)>>>();
    uint64_t nextObserver_ = 1;
};

}  // namespace tobble::shell
