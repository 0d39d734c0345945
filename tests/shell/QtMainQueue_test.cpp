#include "shell/QtMainQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/shell/ShellTestBed.h"
#include "tests/support/Eventually.h"

namespace tobble::shell {
namespace {

// Real event loop, so these check order and that things happened, never how long they took.
class QtMainQueueTest : public ::testing::Test {
  protected:
    void runUntil(const std::function<bool()>& done) {
        tobble::testing::eventually(
            [&] {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
                return done();
            },
            std::chrono::seconds(10));
    }

    QApplication& application = testing::ensureApplication();
    std::shared_ptr<QtMainQueue> queue = std::make_shared<QtMainQueue>();
};

TEST_F(QtMainQueueTest, TasksRunOnTheGuiThreadInOrderAndSeeTheQueueAsCurrent) {
    std::vector<int> order;
    bool current = false;
    std::thread poster([&] {
        EXPECT_FALSE(queue->isCurrent());
        for (int i = 0; i < 3; ++i) queue->async([&order, i] { order.push_back(i); });
        queue->async([&] { current = queue->isCurrent(); });
    });
    poster.join();
    runUntil([&] { return order.size() == 3 && current; });
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(current);
}

TEST_F(QtMainQueueTest, DelayedItemRunsAfterImmediateOnesAndCancelledOnesNever) {
    std::vector<std::string> ran;
    queue->asyncAfter(0.02, [&] { ran.push_back("late"); });
    auto cancelled = queue->asyncAfter(0.01, [&] { ran.push_back("cancelled"); });
    cancelled->cancel();
    queue->async([&] { ran.push_back("now"); });
    runUntil([&] { return ran.size() == 2; });
    QCoreApplication::processEvents();
    EXPECT_EQ(ran, (std::vector<std::string>{"now", "late"}));
}

TEST_F(QtMainQueueTest, SyncFromAnotherThreadWaitsForTheGuiThreadAndInlineOnIt) {
    std::atomic<bool> finished{false};
    int value = 0;
    std::thread caller([&] {
        queue->sync([&] { value = 42; });
        finished = true;
    });
    runUntil([&] { return finished.load(); });
    caller.join();
    EXPECT_EQ(value, 42);

    bool inlineRan = false;
    queue->sync([&] { inlineRan = true; });
    EXPECT_TRUE(inlineRan) << "the GUI thread is the queue: no deadlock, runs at once";
}

}  // namespace
}  // namespace tobble::shell
