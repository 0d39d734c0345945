#pragma once

#include <memory>

#include "platform/dispatch/Dispatcher.h"

namespace tobble::dispatch {

// Wall-clock time on real threads: each serial queue is a thread with a timed task list.
// The main queue is supplied by the application (the Qt event loop); without one, a queue thread
// labelled "main" stands in, which suits command-line programs and tests.
class RealDispatcher final : public Dispatcher {
  public:
    explicit RealDispatcher(QueuePtr mainQueue = nullptr);
    ~RealDispatcher() override;

    QueuePtr makeSerialQueue(std::string label, QoS qos = QoS::Default) override;
    Queue& mainQueue() override;
    QueuePtr mainQueuePtr() override;
    Clock& clock() override;
    TimerPtr makeRepeatingTimer(QueuePtr queue, Seconds firstDelay, Seconds period,
                                std::function<void()> handler) override;

    // The wall clock on its own, for code that needs time without a dispatcher.
    static Clock& systemClock();

  private:
    QueuePtr main_;
};

}  // namespace tobble::dispatch
