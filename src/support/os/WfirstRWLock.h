// A reader/writer lock in which writers go first: once a writer has announced itself, no new reader
// gets in until every waiting writer has had the lock. Neither recursive nor upgradable.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "support/base/Export.h"

namespace libmarl {

class QUILLON_API WfirstRWLock {
public:
    WfirstRWLock() = default;
    WfirstRWLock(const WfirstRWLock&) = delete;
    WfirstRWLock& operator=(const WfirstRWLock&) = delete;

    // Shared side: blocks while any writer waits for or holds the lock.
    void lock_read();
    void release_read();

    // Exclusive side: blocks while readers hold the lock or another writer holds it.
    void lock_write();
    void release_write();

    // For monitoring and tests, not for synchronisation: the answer may be stale on return.
    std::uint64_t reader_count() const;  // readers holding the lock
    std::uint64_t writer_count() const;  // writers waiting for or holding the lock

private:
    std::uint64_t readers_ = 0;  // readers holding the lock
    std::uint64_t writers_ = 0;  // writers waiting for or holding the lock
    bool writing_ = false;       // a writer holds the lock
    mutable std::mutex mutex_;   // guards the three fields above
    std::condition_variable writerCondition_;
    std::condition_variable readerCondition_;
};

}  // namespace libmarl
