#include "platform/dispatch/VirtualDispatcher.h"

#include <gtest/gtest.h>

#include <vector>

namespace tobble::dispatch {
namespace {

class VirtualDispatcherTest : public ::testing::Test {
  protected:
    VirtualDispatcher dispatcher;
    QueuePtr queue = dispatcher.makeSerialQueue("test");
};

TEST_F(VirtualDispatcherTest, RunsAsyncWorkInSubmissionOrderAndDelayedWorkInTimeOrder) {
    std::vector<std::string> order;
    queue->asyncAfter(0.2, [&] { order.push_back("late"); });
    queue->async([&] { order.push_back("a"); });
    queue->asyncAfter(0.1, [&] { order.push_back("early"); });
    queue->async([&] { order.push_back("b"); });
    dispatcher.runDue();
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b"}));
    dispatcher.advance(1.0);
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "early", "late"}));
    EXPECT_DOUBLE_EQ(dispatcher.now(), 1.0);

    // Work that work posts for now runs in the same turn.
    int depth = 0;
    std::function<void()> chain = [&] {
        if (++depth < 5) queue->async(chain);
    };
    queue->async(chain);
    dispatcher.runDue();
    EXPECT_EQ(depth, 5);
}

TEST_F(VirtualDispatcherTest, DebounceFiresOnceAfterTheLastOfABurst) {
    // Ten calls 20 ms apart, each cancelling and rescheduling a 100 ms work item: a cancelled
    // item that ran anyway would fire more than once.
    WorkItemPtr pending;
    std::vector<double> fired;
    for (int i = 0; i < 10; ++i) {
        queue->asyncAfter(0.02 * i, [&] {
            if (pending) pending->cancel();
            pending = queue->asyncAfter(0.1, [&] { fired.push_back(dispatcher.now()); });
        });
    }
    dispatcher.advance(2.0);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_NEAR(fired[0], 0.18 + 0.1, 1e-9);
}

TEST_F(VirtualDispatcherTest, SyncRunsInlineOnItsOwnQueueAndAfterQueuedWorkFromElsewhere) {
    auto other = dispatcher.makeSerialQueue("other");
    std::vector<int> order;
    queue->async([&] {
        EXPECT_TRUE(queue->isCurrent());
        EXPECT_FALSE(other->isCurrent());
        queue->sync([&] { order.push_back(1); });  // would deadlock if not inline
        other->sync([&] {
            EXPECT_TRUE(other->isCurrent());
            EXPECT_FALSE(queue->isCurrent());
            order.push_back(2);
        });
        EXPECT_TRUE(queue->isCurrent());
        order.push_back(3);
    });
    EXPECT_FALSE(queue->isCurrent());
    dispatcher.runDue();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    // From elsewhere, sync waits for the work queued before it.
    order.clear();
    queue->async([&] { order.push_back(1); });
    queue->sync([&] { order.push_back(2); });
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST_F(VirtualDispatcherTest, RepeatingTimerFiresOnScheduleUntilCancelledOrDropped) {
    std::vector<double> fires;
    auto timer =
        dispatcher.makeRepeatingTimer(queue, 0.5, 1.0, [&] { fires.push_back(dispatcher.now()); });
    dispatcher.advance(3.0);
    EXPECT_EQ(fires, (std::vector<double>{0.5, 1.5, 2.5}));
    timer->cancel();
    dispatcher.advance(3.0);
    EXPECT_EQ(fires.size(), 3u);

    int count = 0;
    auto dropped = dispatcher.makeRepeatingTimer(queue, 0.1, 0.1, [&] { ++count; });
    dispatcher.advance(0.35);
    EXPECT_EQ(count, 3);
    dropped.reset();
    dispatcher.advance(1.0);
    EXPECT_EQ(count, 3);

    count = 0;  // a handler may cancel its own timer
    TimerPtr selfCancelling;
    selfCancelling = dispatcher.makeRepeatingTimer(queue, 0.1, 0.1, [&] {
        if (++count == 2) selfCancelling->cancel();
    });
    dispatcher.advance(1.0);
    EXPECT_EQ(count, 2);
}

TEST_F(VirtualDispatcherTest, SleepInsideATaskRunsOtherQueuesButNotItsOwn) {
    auto other = dispatcher.makeSerialQueue("other");
    std::vector<std::string> order;
    queue->async([&] {
        order.push_back("wait-start");
        queue->async([&] { order.push_back("own-queue"); });
        other->asyncAfter(0.001, [&] { order.push_back("other@1ms"); });
        for (int i = 0; i < 5; ++i) dispatcher.clock().sleepFor(0.002);
        order.push_back("wait-end");
        EXPECT_NEAR(dispatcher.now(), 0.010, 1e-12);
    });
    dispatcher.runDue();
    EXPECT_EQ(order,
              (std::vector<std::string>{"wait-start", "other@1ms", "wait-end", "own-queue"}));
}

TEST_F(VirtualDispatcherTest, ClockScalesHostTicksAndKeepsAbsoluteTime) {
    auto& clock = dispatcher.clock();
    const double start = clock.absoluteTime();
    const uint64_t hostStart = clock.hostTime();
    dispatcher.advance(3.0);
    EXPECT_DOUBLE_EQ(clock.absoluteTime() - start, 3.0);
    const double nanos =
        static_cast<double>(clock.hostTime() - hostStart) * clock.hostTimeNanosScale();
    EXPECT_NEAR(nanos, 3e9, 100.0);
    EXPECT_NE(clock.hostTimeNanosScale(), 1.0);
}

}  // namespace
}  // namespace tobble::dispatch
