#include "shell/AccessibilityManager.h"

#include <gtest/gtest.h>

#include "platform/dispatch/VirtualDispatcher.h"

namespace tobble::shell {
namespace {

class AccessibilityManagerTest : public ::testing::Test {
  protected:
    int queries() const { return queries_; }

    dispatch::VirtualDispatcher dispatcher;
    NotificationCenter notifications;
    bool trusted = false;
    int queries_ = 0;
    int granted = 0;
    NotificationCenter::Token grantObserver = notifications.observe(
        std::string(kAccessibilityGrantedNotification), [this] { ++granted; });
    std::shared_ptr<AccessibilityManager> manager = AccessibilityManager::make(
        dispatcher,
        [this] {
            ++queries_;
            return trusted;
        },
        notifications, [] {});
};

TEST_F(AccessibilityManagerTest, PollingIsReferenceCounted) {
    manager->startPolling();
    manager->startPolling();
    manager->stopPolling();
    const int before = queries();
    dispatcher.advance(0.9);
    EXPECT_GE(queries() - before, 3) << "still polling every 0.3 s after one of two stops";

    manager->stopPolling();
    EXPECT_FALSE(manager->isPolling());
    const int stopped = queries();
    dispatcher.advance(3.0);
    EXPECT_EQ(queries(), stopped);

    manager->stopPolling();  // surplus: changes nothing
    EXPECT_EQ(manager->pollingRefCount(), 0);
    manager->startPolling();
    EXPECT_TRUE(manager->isPolling()) << "the count did not go negative";
    manager->stopPolling();
}

TEST_F(AccessibilityManagerTest, FirstPollRunsAtOnce) {
    manager->startPolling();
    const int before = queries();
    dispatcher.runDue();
    EXPECT_EQ(queries(), before + 1);
    manager->stopPolling();
}

TEST_F(AccessibilityManagerTest, GrantPostsTheNotificationOnceAndRevocationPostsNothing) {
    std::vector<bool> published;
    auto subscription = manager->observe([&](bool value) { published.push_back(value); });
    manager->startPolling();
    dispatcher.advance(0.6);
    EXPECT_EQ(granted, 0);

    trusted = true;
    dispatcher.advance(0.31);
    EXPECT_TRUE(manager->isGranted());
    EXPECT_EQ(granted, 1);
    dispatcher.advance(3.0);
    EXPECT_EQ(granted, 1) << "an unchanged value posts nothing";

    trusted = false;
    dispatcher.advance(0.31);
    EXPECT_FALSE(manager->isGranted());
    EXPECT_EQ(granted, 1);
    EXPECT_EQ(published, (std::vector<bool>{true, false}));
    manager->stopPolling();
}

TEST_F(AccessibilityManagerTest, PollStopsWhenTheManagerGoesAway) {
    manager->startPolling();
    manager.reset();
    dispatcher.advance(1.0);  // the timer's handler holds the manager weakly
    SUCCEED();
}

}  // namespace
}  // namespace tobble::shell
