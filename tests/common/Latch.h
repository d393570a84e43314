// A one-shot countdown for lining threads up in tests. std::latch would do, but GCC 12's
// libstdc++ builds its waits on Windows from a pool that can lose a wake-up, and a test then hangs
// in the latch rather than in the code it tests.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace quillon::testing {

class Latch {
public:
    explicit Latch(std::ptrdiff_t count) : count_(count) {}
    Latch(const Latch&) = delete;
    Latch& operator=(const Latch&) = delete;

    void count_down(std::ptrdiff_t n = 1)
    {
        std::lock_guard lock(mutex_);
        count_ -= n;
        if (count_ <= 0)
            opened_.notify_all();
    }

    void wait()
    {
        std::unique_lock lock(mutex_);
        opened_.wait(lock, [this] { return count_ <= 0; });
    }

    void arrive_and_wait()
    {
        count_down();
        wait();
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    std::ptrdiff_t count_;
};

}  // namespace quillon::testing
