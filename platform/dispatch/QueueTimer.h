#pragma once

#include <functional>
#include <memory>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Timer.h"

namespace tobble::dispatch {

// A repeating timer built from delayed work items on a queue; used by both dispatchers.
// Fire times are computed from the first due time, so delays do not accumulate drift.
class QueueTimer final : public Timer {
  public:
    QueueTimer(QueuePtr queue, Clock& clock, Seconds firstDelay, Seconds period,
               std::function<void()> handler);
    ~QueueTimer() override;

    void cancel() override;
    bool isCancelled() const override;

  private:
    struct State;
    static void schedule(const std::shared_ptr<State>& state, Seconds delay);
    static void fire(const std::weak_ptr<State>& weak);

    std::shared_ptr<State> state_;
};

}  // namespace tobble::dispatch
