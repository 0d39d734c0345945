#include "platform/dispatch/QueueCheck.h"

#include <gtest/gtest.h>

#include "platform/dispatch/VirtualDispatcher.h"

namespace tobble::dispatch {
namespace {

#if TOBBLE_QUEUE_CHECKS
// The debug and sanitizer builds must really check: a function documented for one queue that
// runs elsewhere stops the program with both queues named.
TEST(QueueCheckDeathTest, CodeOffItsQueueAbortsNamingBothQueues) {
    VirtualDispatcher dispatcher;
    auto engine = dispatcher.makeSerialQueue("test.engine");
    auto other = dispatcher.makeSerialQueue("test.other");
    bool ranOnItsQueue = false;
    engine->sync([&] {
        assertOnQueue(engine);
        ranOnItsQueue = true;
    });
    EXPECT_TRUE(ranOnItsQueue);
    EXPECT_DEATH(other->sync([&] { assertOnQueue(engine); }),
                 "must run on queue \"test.engine\" but ran on queue \"test.other\"");
}
#endif

}  // namespace
}  // namespace tobble::dispatch
