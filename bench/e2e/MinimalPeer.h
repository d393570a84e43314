// The device's half of the plain loop, speaking the real frames: one thread, one blocking socket,
// no file, no log, no state folder. Against it, a transfer costs the loopback round trips the loop
// pays plus the host's own work and nothing of a device's, so Quillon's host can be compared with
// exactly the loop's other half.
//
// It does what a device must for an upload and a download and nothing else: it learns the key from
// the key frame, acknowledges an upload's command, size and blocks as they come (without
// unscrambling them, as the loop's receiver never looks at its blocks), and answers a download's
// command with the size, then each acknowledgement with the next block, built as it goes.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillon::bench {

// A count that one thread raises and others wait on; a waiter is woken once, when the count gets
// where it waits for, not at every step on the way.
class Milestones {
public:
    std::uint64_t count() const { return count_.load(); }
    void Raise();
    // Waits until count() reaches total (true), or for at most limit.
    bool WaitFor(std::uint64_t total, std::chrono::milliseconds limit);

private:
    std::atomic<std::uint64_t> count_{0};
    std::atomic<std::uint64_t> awaited_{UINT64_MAX};
    std::mutex mutex_;
    std::condition_variable reached_;
};

class MinimalPeer {
public:
    // Connects to the host listening on 127.0.0.1:port, trying again until the host takes the
    // connection, and serves until destroyed, on `processor` (-1: anywhere).
    explicit MinimalPeer(int port, int processor = -1);
    ~MinimalPeer();
    MinimalPeer(const MinimalPeer&) = delete;
    MinimalPeer& operator=(const MinimalPeer&) = delete;

    // The archive the next download serves, whatever kind the host asks for. Set between transfers.
    void Serve(std::vector<std::uint8_t> archive);

    // Whether the host's key frame has come.
    bool keyed() const { return keyed_.load(); }
    // Upload blocks acknowledged since the start.
    Milestones& blocksTaken() { return blocksTaken_; }
    // Downloads whose last block the host has acknowledged: the host acknowledges it once the
    // archive is in place and unpacked, so this is when a download ends as the host sees it.
    Milestones& downloadsServed() { return downloadsServed_; }

private:
    void Run(int port, int processor);

    std::atomic<int> socket_{-1};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> keyed_{false};
    Milestones blocksTaken_;
    Milestones downloadsServed_;
    std::mutex servedMutex_;
    std::shared_ptr<const std::vector<std::uint8_t>> served_;
    std::thread thread_;
};

}  // namespace quillon::bench
