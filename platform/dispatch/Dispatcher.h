#pragma once

#include <functional>
#include <string>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Time.h"
#include "platform/dispatch/Timer.h"

namespace tobble::dispatch {

// Creates queues and timers and owns the clock. One dispatcher drives a whole program: the real
// one (threads, wall-clock time) in the app, the virtual one (deterministic time) in tests and
// the scenario runner.
class Dispatcher {
  public:
    virtual ~Dispatcher() = default;

    virtual QueuePtr makeSerialQueue(std::string label, QoS qos = QoS::Default) = 0;

    // The queue of the user interface thread.
    virtual Queue& mainQueue() = 0;
    virtual QueuePtr mainQueuePtr() = 0;

    virtual Clock& clock() = 0;

    // A repeating timer on `queue`: first fire after `firstDelay`, then every `period`.
    virtual TimerPtr makeRepeatingTimer(QueuePtr queue, Seconds firstDelay, Seconds period,
                                        std::function<void()> handler) = 0;
};

}  // namespace tobble::dispatch
