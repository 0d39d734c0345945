#pragma once

#include <memory>

namespace tobble::dispatch {

// A repeating timer source. It fires on its queue first after its initial delay, then every
// period, until cancelled. Dropping the last reference cancels it too.
class Timer {
  public:
    virtual ~Timer() = default;
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
};

using TimerPtr = std::shared_ptr<Timer>;

}  // namespace tobble::dispatch
