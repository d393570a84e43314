// What every device link shares with the transfer object: the two reply flags through which the
// receive dispatcher answers the host's reply waits, and the wake-up that ends such a wait as soon
// as the answer is in, instead of at the next poll.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

class CCommunication_SET {
public:
    virtual ~CCommunication_SET();

    // True from a version read's request until the device refuses it.
    std::atomic<bool> ReadOk{false};
    // Set when the device acknowledges the frame a host operation waits on; the operation clears
    // it before sending that frame.
    std::atomic<bool> WriteAck{false};

    // Wakes every thread in WaitForReply; call it after storing a flag a waiter may be waiting on.
    void NotifyReply();

    // Waits until done() holds, a wake-up comes or the timeout passes, whichever is first. Returns
    // done() as it stood at the end. A wake-up with done() still false ends the wait early too, so
    // the caller re-checks whatever else it watches (the close request).
    template <typename Done>
    bool WaitForReply(Done&& done, std::chrono::microseconds timeout)
    {
        std::unique_lock lock(replyMutex_);
        if (done())
            return true;
        const auto generation = replyGeneration_;
        replyCondition_.wait_for(lock, timeout, [&] { return replyGeneration_ != generation || done(); });
        return done();
    }

protected:
    CCommunication_SET() = default;

private:
    std::mutex replyMutex_;
    std::condition_variable replyCondition_;
    unsigned long long replyGeneration_ = 0;  // counts wake-ups, so none is lost between polls
};
