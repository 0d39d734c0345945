#pragma once

#include <cstdint>

namespace tobble::engine {

// Whether a callback that last ran at host time `last` is late at `now`: it never ran (0), or
// ran more than `limitNanos` ago. A time stamp ahead of `now` is not late: a device stamps its
// cycle with its own clock, which may run a little ahead of ours.
constexpr bool isLate(uint64_t last, uint64_t now, double nanosPerTick, double limitNanos) {
    if (last == 0) return true;
    if (last >= now) return false;
    return static_cast<double>(now - last) * nanosPerTick > limitNanos;
}

}  // namespace tobble::engine
