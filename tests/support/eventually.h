// Polls a condition that another thread makes true, for tests of asynchronous work.
#pragma once

#include <chrono>
#include <thread>

namespace lumidex::testing {

// True as soon as PREDICATE holds; false once TIMEOUT has passed without it. The timeout only bounds
// a failing test: generous, since CI machines stall.
template <class Predicate>
bool eventually(Predicate&& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace lumidex::testing
