#include "platform/dispatch/QueueTimer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

namespace tobble::dispatch {

struct QueueTimer::State {
    QueuePtr queue;
    Clock& clock;
    Seconds period;
    std::function<void()> handler;
    std::atomic<bool> cancelled{false};

    std::mutex mutex;  // guards the two fields below
    WorkItemPtr pending;
    Seconds nextDue = 0;

    State(QueuePtr q, Clock& c, Seconds p, std::function<void()> h)
        : queue(std::move(q)), clock(c), period(p), handler(std::move(h)) {}
};

QueueTimer::QueueTimer(QueuePtr queue, Clock& clock, Seconds firstDelay, Seconds period,
                       std::function<void()> handler)
    : state_(std::make_shared<State>(std::move(queue), clock, std::max(period, 1e-6),
                                     std::move(handler))) {
    firstDelay = std::max(firstDelay, 0.0);
    {
        std::lock_guard lock(state_->mutex);
        state_->nextDue = clock.monotonicSeconds() + firstDelay;
    }
    schedule(state_, firstDelay);
}

QueueTimer::~QueueTimer() { cancel(); }

void QueueTimer::cancel() {
    state_->cancelled.store(true);
    std::lock_guard lock(state_->mutex);
    if (state_->pending) state_->pending->cancel();
    state_->pending.reset();
}

bool QueueTimer::isCancelled() const { return state_->cancelled.load(); }

void QueueTimer::schedule(const std::shared_ptr<State>& state, Seconds delay) {
    // The work item holds the state weakly: dropping the timer lets pending fires do nothing.
    auto item = std::make_shared<WorkItem>(
        [weak = std::weak_ptr<State>(state)] { QueueTimer::fire(weak); });
    {
        std::lock_guard lock(state->mutex);
        if (state->cancelled.load()) return;
        state->pending = item;
    }
    state->queue->asyncAfter(delay, item);
}

void QueueTimer::fire(const std::weak_ptr<State>& weak) {
    auto state = weak.lock();
    if (!state || state->cancelled.load()) return;
    state->handler();
    if (state->cancelled.load()) return;
    Seconds delay;
    {
        std::lock_guard lock(state->mutex);
        state->nextDue += state->period;
        const Seconds now = state->clock.monotonicSeconds();
        // After a long stall, skip the missed fires instead of firing them back to back.
        if (state->nextDue < now) {
            const double missed = std::ceil((now - state->nextDue) / state->period);
            state->nextDue += missed * state->period;
        }
        delay = std::max(0.0, state->nextDue - now);
    }
    schedule(state, delay);
}

}  // namespace tobble::dispatch
