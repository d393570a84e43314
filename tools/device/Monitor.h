// What a simulated device has done, for whoever watches it: counters, the key in force, and the
// event lines it logged. Written by the serving thread, read by any thread.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocol/FrameCodec.h"

namespace quillon::sim {

struct Stats {
    int connections = 0;                  // links that came up: TCP connections, a host opening the port
    int sessions = 0;                     // host sessions begun: key frames, a serial repeat not counted
    int sessionsEnded = 0;                // by a new key frame, or by the link going down
    std::array<int, 8> framesReceived{};  // host frames that passed the checksum, by type byte
    int badFrames = 0;                    // host frames that failed it
    int framesSent = 0;                   // greetings included
    int greetings = 0;
    int probes = 0;    // commands (0, 0, 0)
    int refusals = 0;  // acknowledgements with code 1
    int blocksReceived = 0;
    int blocksSent = 0;
    int uploadsStored = 0;
    int downloadsServed = 0;
    int versionsWritten = 0;
    int versionsRead = 0;
    int recordsWritten = 0;
    int recordsRead = 0;
    int faultsCommitted = 0;     // a fault that changed what the device did
    std::optional<LinkKey> key;  // the key in force; nullopt before the first key frame
};

class Monitor {
public:
    // Keeps this many event lines; older ones go.
    static constexpr std::size_t kEventsKept = 1000;

    Monitor(std::function<void(const std::string&)> sink, bool verbose)
        : sink_(std::move(sink)), verbose_(verbose)
    {}

    // A line about something that happened; kept and passed on.
    void Event(const std::string& line)
    {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(line);
            if (events_.size() > kEventsKept)
                events_.pop_front();
        }
        if (sink_)
            sink_(line);
    }

    // A line about one frame, passed on in verbose mode only. describe() makes the line, and only
    // then: every frame has one, and a transfer has tens of thousands of frames that nobody reads.
    template <typename Describe>
    void Detail(Describe&& describe)
    {
        if (verbose_ && sink_)
            sink_(std::string(describe()));
    }
    bool verbose() const { return verbose_; }

    template <typename Change>
    void Update(Change&& change)
    {
        std::lock_guard lock(mutex_);
        change(stats_);
        // Only the update that makes a waiter's test hold wakes it: every frame updates the stats.
        if (awaited_ && awaited_(stats_))
            changed_.notify_all();
    }

    // Waits until test(stats) holds (true), or for at most timeout. One waiter at a time.
    bool WaitUntil(const std::function<bool(const Stats&)>& test, std::chrono::milliseconds timeout) const
    {
        std::unique_lock lock(mutex_);
        awaited_ = test;
        const bool held = changed_.wait_for(lock, timeout, [&] { return test(stats_); });
        awaited_ = nullptr;
        return held;
    }

    Stats stats() const
    {
        std::lock_guard lock(mutex_);
        return stats_;
    }

    std::vector<std::string> events() const
    {
        std::lock_guard lock(mutex_);
        return {events_.begin(), events_.end()};
    }

private:
    const std::function<void(const std::string&)> sink_;
    const bool verbose_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    mutable std::function<bool(const Stats&)> awaited_;  // guarded by mutex_
    Stats stats_;
    std::deque<std::string> events_;
};

}  // namespace quillon::sim
