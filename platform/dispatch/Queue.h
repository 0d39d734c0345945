#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/Time.h"
#include "platform/dispatch/WorkItem.h"

namespace tobble::dispatch {

// A serial queue: tasks run one at a time, in the order of their due time, then of submission.
class Queue {
  public:
    virtual ~Queue() = default;

    virtual const std::string& label() const = 0;

    // Runs `work` on the queue as soon as possible.
    virtual void async(std::function<void()> work) = 0;

    // Runs `item` on the queue after `delay` unless it is cancelled first.
    virtual void asyncAfter(Seconds delay, WorkItemPtr item) = 0;

    // Convenience: wraps `work` in a work item, schedules it and returns it for cancelling.
    WorkItemPtr asyncAfter(Seconds delay, std::function<void()> work) {
        auto item = std::make_shared<WorkItem>(std::move(work));
        asyncAfter(delay, item);
        return item;
    }

    // Runs `work` on the queue and returns when it has finished. Runs inline when the caller is
    // already on this queue, so a queue never deadlocks on itself.
    virtual void sync(std::function<void()> work) = 0;

    // True while the calling code runs as a task of this queue.
    virtual bool isCurrent() const = 0;
};

using QueuePtr = std::shared_ptr<Queue>;

}  // namespace tobble::dispatch
