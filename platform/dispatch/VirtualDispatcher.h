#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatcher.h"

namespace tobble::dispatch {

// Deterministic time for tests and the scenario runner. Nothing runs on its own: the owner
// drives time with advance() / runUntil(), and every due task of every queue runs on the
// driving thread in order of (due time, submission).
//
// A sleep inside a task (Clock::sleepFor) advances the clock and runs the tasks that fall due
// meanwhile on other queues, but never those of a queue that is already running a task further
// up the stack, so each queue stays serial.
class VirtualDispatcher final : public Dispatcher {
  public:
    // Host ticks are 125/3 ns, like a 24 MHz timebase, so code that forgets the scale breaks.
    static constexpr double kHostTimeNanosScale = 125.0 / 3.0;

    explicit VirtualDispatcher(Seconds absoluteTimeAtStart = 800'000'000.0);
    ~VirtualDispatcher() override;

    QueuePtr makeSerialQueue(std::string label, QoS qos = QoS::Default) override;
    Queue& mainQueue() override;
    QueuePtr mainQueuePtr() override;
    Clock& clock() override;
    TimerPtr makeRepeatingTimer(QueuePtr queue, Seconds firstDelay, Seconds period,
                                std::function<void()> handler) override;

    // Seconds since the dispatcher was made.
    Seconds now() const;

    // Runs everything due up to now + duration (or up to `t`), then sets the clock there.
    void advance(Seconds duration);
    void runUntil(Seconds t);

    // Runs the tasks that are due at the current time, including ones they post for now.
    void runDue();

    // Number of scheduled tasks that have not run (cancelled work items included).
    size_t pendingTaskCount() const;

    // Returns the due time of the earliest runnable task, or a negative value when none.
    Seconds nextDueTime() const;

  private:
    class VirtualQueue;
    class VirtualClock;
    struct Task {
        std::shared_ptr<VirtualQueue> queue;
        std::function<void()> work;
    };
    using TaskKey = std::pair<Seconds, uint64_t>;

    void post(std::shared_ptr<VirtualQueue> queue, Seconds due, std::function<void()> work);
    void runSync(VirtualQueue& queue, const std::function<void()>& work);
    bool runOne(Seconds limit);

    mutable std::recursive_mutex mutex_;
    std::map<TaskKey, Task> tasks_;
    uint64_t nextSequence_ = 0;
    Seconds now_ = 0;
    Seconds absoluteStart_;
    std::unique_ptr<VirtualClock> clock_;
    std::shared_ptr<VirtualQueue> main_;
};

}  // namespace tobble::dispatch
