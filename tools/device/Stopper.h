// The stop request of the serving thread, and the waits that it cuts short: every pause the
// device makes (between connection attempts, between greetings, for a delayed frame, for the
// line's pace) ends at once when Stop comes.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quillon::sim {

class Stopper {
public:
    using Clock = std::chrono::steady_clock;

    void Request()
    {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        wake_.notify_all();
    }

    bool stopped() const { return stopped_.load(); }

    // False when the wait ended because of a stop request.
    bool SleepUntil(Clock::time_point when)
    {
        std::unique_lock lock(mutex_);
        return !wake_.wait_until(lock, when, [this] { return stopped_.load(); });
    }

    bool SleepFor(Clock::duration duration) { return SleepUntil(Clock::now() + duration); }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<bool> stopped_{false};
};

}  // namespace quillon::sim
