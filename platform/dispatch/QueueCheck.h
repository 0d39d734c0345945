#pragma once

#include <source_location>

#include "platform/dispatch/Queue.h"

namespace tobble::dispatch {

// Logs which function ran off its queue and aborts.
[[noreturn]] void failQueueCheck(const Queue& queue, const std::source_location& where);

// States that the calling function runs as a task of `queue`: the debug and sanitizer builds
// (TOBBLE_QUEUE_CHECKS) abort when it does not; other builds compile it away.
inline void assertOnQueue(const Queue& queue,
                          const std::source_location& where = std::source_location::current()) {
#if TOBBLE_QUEUE_CHECKS
    if (!queue.isCurrent()) failQueueCheck(queue, where);
#else
    (void)queue;
    (void)where;
#endif
}

inline void assertOnQueue(const QueuePtr& queue,
                          const std::source_location& where = std::source_location::current()) {
    assertOnQueue(*queue, where);
}

}  // namespace tobble::dispatch
