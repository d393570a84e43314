#include "support/os/WfirstRWLock.h"

namespace libmarl {

void WfirstRWLock::lock_read()
{
    std::unique_lock lock(mutex_);
    readerCondition_.wait(lock, [this] { return writers_ == 0; });
    ++readers_;
}

void WfirstRWLock::release_read()
{
    std::lock_guard lock(mutex_);
    if (--readers_ == 0 && writers_ != 0)
        writerCondition_.notify_one();
}

void WfirstRWLock::lock_write()
{
    std::unique_lock lock(mutex_);
    // Counting ourselves before waiting is what holds back readers that arrive from now on.
    ++writers_;
    writerCondition_.wait(lock, [this] { return readers_ == 0 && !writing_; });
    writing_ = true;
}

void WfirstRWLock::release_write()
{
    std::lock_guard lock(mutex_);
    // Waiting writers hand the lock on to each other before any reader gets in again.
    if (--writers_ == 0)
        readerCondition_.notify_all();
    else
        writerCondition_.notify_one();
    writing_ = false;
}

std::uint64_t WfirstRWLock::reader_count() const
{
    std::lock_guard lock(mutex_);
    return readers_;
}

std::uint64_t WfirstRWLock::writer_count() const
{
    std::lock_guard lock(mutex_);
    return writers_;
}

}  // namespace libmarl
