#include "shell/AccessibilityManager.h"

#include <gtest/gtest.h>

#include "platform/dispatch/VirtualDispatcher.h"

namespace tobble::shell {
namespace {

class AccessibilityManagerTest : public ::testing::Test {
  protected:
    dispatch::VirtualDispatcher dispatcher;
    NotificationCenter notifications;
    bool trusted = false;
    int queries = 0;
    int granted = 0;
    NotificationCenter::Token grantObserver = notifications.observe(
        std::string(kAccessibilityGrantedNotification), [this] { ++granted; });
    std::shared_ptr<AccessibilityManager> manager = AccessibilityManager::make(
        dispatcher,
        [this] {
            ++queries;
            return trusted;
        },
        notifications, [] {});
};

// Settings and onboarding each poll while shown; the first poll runs at once, the last stop
// ends polling and a surplus stop does not leave the count below zero.
TEST_F(AccessibilityManagerTest, PollingIsReferenceCounted) {
    const int initial = queries;
    manager->startPolling();
    dispatcher.runDue();
    EXPECT_EQ(queries, initial + 1);
    manager->startPolling();
    manager->stopPolling();
    dispatcher.advance(0.9);
    EXPECT_GE(queries, initial + 4) << "still polling every 0.3 s after one of two stops";

    manager->stopPolling();
    const int stopped = queries;
    dispatcher.advance(3.0);
    EXPECT_EQ(queries, stopped);

    manager->stopPolling();
    manager->startPolling();
    dispatcher.advance(0.9);
    EXPECT_GT(queries, stopped) << "the count did not go negative";
    manager->stopPolling();
}

TEST_F(AccessibilityManagerTest, GrantPostsTheNotificationOnceAndRevocationPostsNothing) {
    std::vector<bool> published;
    auto subscription = manager->observe([&](bool value) { published.push_back(value); });
    manager->startPolling();
    dispatcher.advance(0.6);
    EXPECT_EQ(granted, 0);

    trusted = true;
    dispatcher.advance(3.0);
    EXPECT_TRUE(manager->isGranted());
    EXPECT_EQ(granted, 1) << "an unchanged value posts nothing";

    trusted = false;
    dispatcher.advance(0.31);
    EXPECT_FALSE(manager->isGranted());
    EXPECT_EQ(granted, 1);
    EXPECT_EQ(published, (std::vector<bool>{true, false}));
    manager->stopPolling();
}

// The timer's handler holds the manager weakly: once it is gone nobody asks any more.
TEST_F(AccessibilityManagerTest, PollStopsWhenTheManagerGoesAway) {
    manager->startPolling();
    dispatcher.runDue();
    const int before = queries;
    manager.reset();
    dispatcher.advance(1.0);
    EXPECT_EQ(queries, before);
}

}  // namespace
}  // namespace tobble::shell
