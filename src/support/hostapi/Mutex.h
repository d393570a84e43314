// A plain, non-recursive mutex that meets the standard Lockable requirements, so std::lock_guard
// and std::unique_lock work with it.
#pragma once

#include <mutex>

#include "support/base/Export.h"

namespace libmarl {

class QUILLON_API TMutex {
public:
    TMutex();
    ~TMutex();
    TMutex(const TMutex&) = delete;
    TMutex& operator=(const TMutex&) = delete;

    // Blocks until the calling thread holds the mutex. Taking it again from the thread that holds
    // it deadlocks, as with any non-recursive mutex.
    void lock();
    void unlock();
    // True when the mutex was free and is now held by the calling thread.
    bool try_lock();

private:
    std::mutex mutex_;
};

}  // namespace libmarl
