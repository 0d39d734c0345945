#include "platform/dispatch/RealDispatcher.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/dispatch/CurrentQueue.h"
#include "platform/dispatch/QueueTimer.h"

namespace tobble::dispatch {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Seconds between the Unix epoch and the platform's reference date, 2001-01-01 UTC.
constexpr double kReferenceDateOffset = 978307200.0;

class SystemClock final : public Clock {
  public:
    Seconds absoluteTime() const override {
        const auto since = std::chrono::system_clock::now().time_since_epoch();
        return std::chrono::duration<double>(since).count() - kReferenceDateOffset;
    }
    uint64_t hostTime() const override {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         SteadyClock::now().time_since_epoch())
                                         .count());
    }
    double hostTimeNanosScale() const override { return 1.0; }
    void sleepFor(Seconds duration) override {
        if (duration > 0) std::this_thread::sleep_for(std::chrono::duration<double>(duration));
    }
};

// The task list and thread of one queue. The thread owns a reference, so the list outlives the
// public queue object until the thread has finished.
struct QueueCore {
    std::mutex mutex;
    std::condition_variable wake;
    std::map<std::pair<SteadyClock::time_point, uint64_t>, std::function<void()>> tasks;
    uint64_t sequence = 0;
    bool stopping = false;

    void post(SteadyClock::time_point due, std::function<void()> work) {
        {
            std::lock_guard lock(mutex);
            if (stopping) return;
            tasks.emplace(std::pair{due, sequence++}, std::move(work));
        }
        wake.notify_one();
    }
};

class ThreadQueue final : public Queue {
  public:
    ThreadQueue(std::string label, QoS qos)
        : label_(std::move(label)), core_(std::make_shared<QueueCore>()) {
        // QoS is advisory: real-time scheduling would need privileges we do not ask for.
        (void)qos;
        thread_ = std::thread([core = core_, self = this, name = label_] {
            setThreadName(name);
            run(*core, self);
        });
    }

    ~ThreadQueue() override {
        {
            std::lock_guard lock(core_->mutex);
            core_->stopping = true;
        }
        core_->wake.notify_one();
        // The last reference may be dropped by one of the queue's own tasks.
        if (std::this_thread::get_id() == thread_.get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }

    const std::string& label() const override { return label_; }

    void async(std::function<void()> work) override { post(SteadyClock::now(), std::move(work)); }

    void asyncAfter(Seconds delay, WorkItemPtr item) override {
        const auto due =
            SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                     std::chrono::duration<double>(std::max(delay, 0.0)));
        post(due, [item = std::move(item)] { item->perform(); });
    }
    using Queue::asyncAfter;

    void sync(std::function<void()> work) override {
        if (isCurrent()) {
            work();
            return;
        }
        std::mutex doneMutex;
        std::condition_variable doneWake;
        bool done = false;
        post(SteadyClock::now(), [&] {
            work();
            std::lock_guard lock(doneMutex);
            done = true;
            doneWake.notify_one();
        });
        std::unique_lock lock(doneMutex);
        doneWake.wait(lock, [&] { return done; });
    }

    bool isCurrent() const override { return CurrentQueue::get() == this; }

  private:
    // The posted task may release the last reference to this queue and its thread may finish
    // before post() returns, so the task list is kept alive by a reference of our own.
    void post(SteadyClock::time_point due, std::function<void()> work) {
        const std::shared_ptr<QueueCore> core = core_;
        core->post(due, std::move(work));
    }

    static void setThreadName(const std::string& name) {
        // Thread names are limited to 15 characters; the end of a label is the telling part.
        const std::string shortName = name.size() > 15 ? name.substr(name.size() - 15) : name;
        pthread_setname_np(pthread_self(), shortName.c_str());
    }

    static void run(QueueCore& core, const Queue* self) {
        CurrentQueue::Scope scope(self);
        std::unique_lock lock(core.mutex);
        for (;;) {
            if (core.stopping) {
                // Work already due still runs (it may release resources); delayed work is dropped.
                while (!core.tasks.empty() &&
                       core.tasks.begin()->first.first <= SteadyClock::now()) {
                    auto work = std::move(core.tasks.begin()->second);
                    core.tasks.erase(core.tasks.begin());
                    lock.unlock();
                    work();
                    lock.lock();
                }
                core.tasks.clear();
                return;
            }
            if (core.tasks.empty()) {
                core.wake.wait(lock);
                continue;
            }
            const auto due = core.tasks.begin()->first.first;
            if (due > SteadyClock::now()) {
                core.wake.wait_until(lock, due);
                continue;
            }
            auto work = std::move(core.tasks.begin()->second);
            core.tasks.erase(core.tasks.begin());
            lock.unlock();
            work();
            work = nullptr;  // destroy captures outside the lock
            lock.lock();
        }
    }

    std::string label_;
    std::shared_ptr<QueueCore> core_;
    std::thread thread_;
};

}  // namespace

Clock& RealDispatcher::systemClock() {
    static SystemClock clock;
    return clock;
}

RealDispatcher::RealDispatcher(QueuePtr mainQueue)
    : main_(mainQueue ? std::move(mainQueue)
                      : std::make_shared<ThreadQueue>("main", QoS::UserInteractive)) {}

RealDispatcher::~RealDispatcher() = default;

QueuePtr RealDispatcher::makeSerialQueue(std::string label, QoS qos) {
    return std::make_shared<ThreadQueue>(std::move(label), qos);
}

Queue& RealDispatcher::mainQueue() { return *main_; }
QueuePtr RealDispatcher::mainQueuePtr() { return main_; }
Clock& RealDispatcher::clock() { return systemClock(); }

TimerPtr RealDispatcher::makeRepeatingTimer(QueuePtr queue, Seconds firstDelay, Seconds period,
                                            std::function<void()> handler) {
    return std::make_shared<QueueTimer>(std::move(queue), systemClock(), firstDelay, period,
                                        std::move(handler));
}

}  // namespace tobble::dispatch
