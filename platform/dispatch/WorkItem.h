#pragma once

#include <atomic>
#include <functional>
#include <memory>

namespace tobble::dispatch {

// A block of work that can be cancelled before it runs. Cancelling after it started has no
// effect on the running call. Thread-safe.
class WorkItem {
  public:
    explicit WorkItem(std::function<void()> work) : work_(std::move(work)) {}

    WorkItem(const WorkItem&) = delete;
    WorkItem& operator=(const WorkItem&) = delete;

    void cancel() { cancelled_.store(true, std::memory_order_release); }
    bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }

    // Runs the work unless cancelled. Called by the queue the item was scheduled on.
    void perform() {
        if (!isCancelled()) work_();
    }

  private:
    std::function<void()> work_;
    std::atomic<bool> cancelled_{false};
};

using WorkItemPtr = std::shared_ptr<WorkItem>;

}  // namespace tobble::dispatch
