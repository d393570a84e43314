// Waiting for something another thread does, without sleeping a guessed time: the condition is
// polled a millisecond apart until it holds or the deadline passes. The deadline only bounds a
// broken run; a passing run never waits for it. Polling with a short sleep rather than a yield
// leaves the processor to the threads being waited on (two cores are all CI has).
#pragma once

#include <chrono>
#include <thread>

namespace quillon::testing {

template <typename Predicate>
bool WaitFor(Predicate&& predicate, std::chrono::milliseconds deadline = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= end)
            return predicate();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace quillon::testing
