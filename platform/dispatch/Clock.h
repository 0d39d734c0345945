#pragma once

#include <cstdint>

#include "platform/dispatch/Time.h"

namespace tobble::dispatch {

// The one source of time for engine and services.
class Clock {
  public:
    virtual ~Clock() = default;

    // Wall-clock seconds since 2001-01-01 00:00:00 UTC (the reference date of the platform's
    // absolute time), as a double.
    virtual Seconds absoluteTime() const = 0;

    // Monotonic host-time ticks, as found in audio time stamps.
    virtual uint64_t hostTime() const = 0;

    // Nanoseconds per host-time tick (timebase numerator over denominator).
    virtual double hostTimeNanosScale() const = 0;

    // Blocks the calling task for `duration`. In virtual time the clock advances and other
    // queues' tasks and device cycles due meanwhile run; the caller's own queue stays blocked.
    virtual void sleepFor(Seconds duration) = 0;

    // Seconds on the monotonic host clock; differences are meaningful, the origin is not.
    virtual Seconds monotonicSeconds() const {
        return static_cast<double>(hostTime()) * hostTimeNanosScale() / 1e9;
    }

    // Host ticks for a duration, for code that schedules against time stamps.
    uint64_t hostTicks(Seconds duration) const {
        return static_cast<uint64_t>(duration * 1e9 / hostTimeNanosScale());
    }
};

}  // namespace tobble::dispatch
