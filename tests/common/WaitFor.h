// Waiting for something another thread does, without sleeping a guessed time: the condition is
// polled, yielding the processor between polls, until it holds or the deadline passes. The deadline
// only bounds a broken run; a passing run never waits for it.
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
        std::this_thread::yield();
    }
    return true;
}

}  // namespace quillon::testing
