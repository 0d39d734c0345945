#include "platform/dispatch/RealDispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "tests/support/Eventually.h"

namespace tobble::dispatch {
namespace {

// Real threads and wall-clock time: the checks are on order and on "happened / did not
// happen", with generous bounds, never on exact timing.
class RealDispatcherTest : public ::testing::Test {
  protected:
    RealDispatcher dispatcher;
    QueuePtr queue = dispatcher.makeSerialQueue("test", QoS::UserInitiated);

    void drain(Queue& q) {
        q.sync([] {});
    }
};

TEST_F(RealDispatcherTest, RunsWorkSeriallyInOrder) {
    std::vector<int> order;  // only touched on the queue
    for (int i = 0; i < 100; ++i) queue->async([&order, i] { order.push_back(i); });
    drain(*queue);
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST_F(RealDispatcherTest, SyncIsInlineOnTheSameQueueAndIsCurrentHolds) {
    std::promise<bool> result;
    queue->async([&] {
        bool inlineRan = false;
        queue->sync([&] { inlineRan = queue->isCurrent(); });
        result.set_value(inlineRan && !dispatcher.mainQueue().isCurrent());
    });
    EXPECT_TRUE(result.get_future().get());
    EXPECT_FALSE(queue->isCurrent());
}

TEST_F(RealDispatcherTest, DelayedWorkRunsLaterAndCancelledWorkNever) {
    std::atomic<bool> cancelledRan{false};
    std::promise<void> done;
    auto item = queue->asyncAfter(0.02, [&] { cancelledRan = true; });
    item->cancel();
    const auto start = std::chrono::steady_clock::now();
    queue->asyncAfter(0.05, [&] { done.set_value(); });
    done.get_future().wait();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
    EXPECT_FALSE(cancelledRan);
}

TEST_F(RealDispatcherTest, RepeatingTimerFiresUntilCancelled) {
    std::atomic<int> count{0};
    std::promise<void> third;
    auto timer = dispatcher.makeRepeatingTimer(queue, 0.005, 0.005, [&] {
        if (++count == 3) third.set_value();
    });
    third.get_future().wait();
    timer->cancel();
    drain(*queue);
    const int after = count.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    drain(*queue);
    EXPECT_EQ(count.load(), after);
}

TEST_F(RealDispatcherTest, QueueDroppedByItsOwnTaskShutsDownCleanly) {
    auto doomed = dispatcher.makeSerialQueue("doomed");
    std::weak_ptr<Queue> gone = doomed;
    auto* raw = doomed.get();
    raw->async([q = std::move(doomed)]() mutable {
        q.reset();  // last reference released on the queue's own thread
    });
    EXPECT_TRUE(tobble::testing::eventually([&] { return gone.expired(); }));
}

TEST_F(RealDispatcherTest, ClockMovesForward) {
    auto& clock = dispatcher.clock();
    const uint64_t a = clock.hostTime();
    clock.sleepFor(0.002);
    EXPECT_GT(clock.hostTime(), a);
    EXPECT_GT(clock.absoluteTime(), 7e8);  // after 2023 in reference-date seconds
}

}  // namespace
}  // namespace tobble::dispatch
