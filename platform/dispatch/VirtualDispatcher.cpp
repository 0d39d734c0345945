#include "platform/dispatch/VirtualDispatcher.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/dispatch/CurrentQueue.h"
#include "platform/dispatch/QueueTimer.h"

namespace tobble::dispatch {

class VirtualDispatcher::VirtualQueue final : public Queue,
                                              public std::enable_shared_from_this<VirtualQueue> {
  public:
    VirtualQueue(VirtualDispatcher& owner, std::string label)
        : owner_(owner), label_(std::move(label)) {}

    const std::string& label() const override { return label_; }

    void async(std::function<void()> work) override {
        owner_.post(shared_from_this(), owner_.now(), std::move(work));
    }

    void asyncAfter(Seconds delay, WorkItemPtr item) override {
        owner_.post(shared_from_this(), owner_.now() + std::max(delay, 0.0),
                    [item = std::move(item)] { item->perform(); });
    }
    using Queue::asyncAfter;

    void sync(std::function<void()> work) override {
        if (isCurrent()) {
            work();
            return;
        }
        owner_.runSync(*this, work);
    }

    bool isCurrent() const override { return CurrentQueue::get() == this; }

    // Depth of this queue's tasks on the running stack; above 0 the queue is busy.
    int activeDepth = 0;

  private:
    VirtualDispatcher& owner_;
    std::string label_;
};

class VirtualDispatcher::VirtualClock final : public Clock {
  public:
    explicit VirtualClock(VirtualDispatcher& owner) : owner_(owner) {}

    Seconds absoluteTime() const override { return owner_.absoluteStart_ + owner_.now(); }
    uint64_t hostTime() const override {
        return static_cast<uint64_t>(std::llround(owner_.now() * 1e9 / kHostTimeNanosScale));
    }
    double hostTimeNanosScale() const override { return kHostTimeNanosScale; }
    Seconds monotonicSeconds() const override { return owner_.now(); }
    void sleepFor(Seconds duration) override { owner_.advance(std::max(duration, 0.0)); }

  private:
    VirtualDispatcher& owner_;
};

VirtualDispatcher::VirtualDispatcher(Seconds absoluteTimeAtStart)
    : absoluteStart_(absoluteTimeAtStart), clock_(std::make_unique<VirtualClock>(*this)) {
    main_ = std::make_shared<VirtualQueue>(*this, "main");
}

VirtualDispatcher::~VirtualDispatcher() {
    // Tasks may own objects whose destructors post more work; clear in a loop without running.
    std::map<TaskKey, Task> doomed;
    {
        std::lock_guard lock(mutex_);
        doomed.swap(tasks_);
    }
    doomed.clear();
    std::lock_guard lock(mutex_);
    tasks_.clear();
}

QueuePtr VirtualDispatcher::makeSerialQueue(std::string label, QoS) {
    return std::make_shared<VirtualQueue>(*this, std::move(label));
}

Queue& VirtualDispatcher::mainQueue() { return *main_; }
QueuePtr VirtualDispatcher::mainQueuePtr() { return main_; }
Clock& VirtualDispatcher::clock() { return *clock_; }

TimerPtr VirtualDispatcher::makeRepeatingTimer(QueuePtr queue, Seconds firstDelay, Seconds period,
                                               std::function<void()> handler) {
    return std::make_shared<QueueTimer>(std::move(queue), *clock_, firstDelay, period,
                                        std::move(handler));
}

Seconds VirtualDispatcher::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

void VirtualDispatcher::post(std::shared_ptr<VirtualQueue> queue, Seconds due,
                             std::function<void()> work) {
    std::lock_guard lock(mutex_);
    tasks_.emplace(TaskKey{due, nextSequence_++}, Task{std::move(queue), std::move(work)});
}

bool VirtualDispatcher::runOne(Seconds limit) {
    Task task;
    {
        std::lock_guard lock(mutex_);
        auto it = tasks_.begin();
        while (it != tasks_.end() && it->first.first <= limit &&
               it->second.queue->activeDepth > 0) {
            ++it;
        }
        if (it == tasks_.end() || it->first.first > limit) return false;
        now_ = std::max(now_, it->first.first);
        task = std::move(it->second);
        tasks_.erase(it);
    }
    task.queue->activeDepth++;
    {
        CurrentQueue::Scope scope(task.queue.get());
        task.work();
    }
    task.queue->activeDepth--;
    return true;
}

void VirtualDispatcher::runUntil(Seconds t) {
    while (runOne(t)) {
    }
    std::lock_guard lock(mutex_);
    now_ = std::max(now_, t);
}

void VirtualDispatcher::advance(Seconds duration) { runUntil(now() + duration); }

void VirtualDispatcher::runDue() { runUntil(now()); }

void VirtualDispatcher::runSync(VirtualQueue& queue, const std::function<void()>& work) {
    if (queue.activeDepth > 0) {
        // The queue is suspended in a sleep further up this very stack. On real threads the
        // caller would wait for it; here nothing could ever resume it.
        std::fprintf(stderr, "VirtualDispatcher: sync onto queue '%s' while it sleeps\n",
                     queue.label().c_str());
        std::abort();
    }
    // Serial order: work queued earlier and already due runs before the synchronous block.
    for (;;) {
        Task task;
        {
            std::lock_guard lock(mutex_);
            auto it = tasks_.begin();
            while (it != tasks_.end() && it->first.first <= now_ &&
                   it->second.queue.get() != &queue) {
                ++it;
            }
            if (it == tasks_.end() || it->first.first > now_) break;
            task = std::move(it->second);
            tasks_.erase(it);
        }
        queue.activeDepth++;
        {
            CurrentQueue::Scope scope(&queue);
            task.work();
        }
        queue.activeDepth--;
    }
    queue.activeDepth++;
    {
        CurrentQueue::Scope scope(&queue);
        work();
    }
    queue.activeDepth--;
}

size_t VirtualDispatcher::pendingTaskCount() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

Seconds VirtualDispatcher::nextDueTime() const {
    std::lock_guard lock(mutex_);
    for (const auto& [key, task] : tasks_) {
        if (task.queue->activeDepth == 0) return key.first;
    }
    return -1;
}

}  // namespace tobble::dispatch
