#pragma once

#include <chrono>
#include <thread>

namespace tobble::testing {

// Polls `done` every `interval` until it holds or `timeout` of real time has passed; true when it
// held. Tests on real threads wait with this, then check what happened, never how long it took.
template <typename Predicate>
bool eventually(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(5),
                std::chrono::milliseconds interval = std::chrono::milliseconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(interval);
    }
    return true;
}

}  // namespace tobble::testing
