#include "LinePacer.h"

#include <algorithm>

namespace quillon::sim {

LinePacer::LinePacer(int bytesPerSecond) : bytesPerSecond_(std::max(bytesPerSecond, 1)) {}

LinePacer::Clock::duration LinePacer::WireTime(std::uint64_t count) const
{
    const auto nanoseconds = static_cast<long double>(count) * 1e9L / bytesPerSecond_;
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(static_cast<long long>(nanoseconds)));
}

bool LinePacer::Send(const std::uint8_t* data, std::size_t size,
                     const std::function<bool(const std::uint8_t*, std::size_t)>& write, Stopper& stopper)
{
    const Clock::time_point start = std::max(Clock::now(), outboundFree_);
    if (!stopper.SleepUntil(start))
        return false;
    std::size_t sent = 0;
    while (sent < size) {
        // Every byte whose first bit is due by now goes out; a late wake-up sends more at once
        // rather than stretching the frame.
        const auto elapsed = Clock::now() - start;
        const auto begun =
            static_cast<std::size_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() *
                                     bytesPerSecond_ / 1'000'000'000LL) +
            1;
        const std::size_t due = std::min(size, begun);
        if (due > sent) {
            if (!write(data + sent, due - sent))
                return false;
            sent = due;
        }
        if (sent < size && !stopper.SleepFor(kStep))
            return false;
    }
    // The last byte is still on the wire: the line is busy until it has gone.
    outboundFree_ = start + WireTime(size);
    return stopper.SleepUntil(outboundFree_);
}

void LinePacer::Arrived(std::size_t count, Clock::time_point when)
{
    if (count == 0)
        return;
    Clock::time_point start = when;
    if (!inbound_.empty()) {
        const Burst& last = inbound_.back();
        // Bytes read together may have crossed the line back to back with those before them, but
        // never before those had gone through.
        start = std::max(when, last.start + WireTime(last.count));
    }
    inbound_.push_back({received_, count, start});
    received_ += count;
}

LinePacer::Clock::time_point LinePacer::DeliveredAt(std::uint64_t offset)
{
    // Bursts wholly before offset are done with: the reader asks in stream order.
    while (inbound_.size() > 1 && inbound_.front().first + inbound_.front().count <= offset)
        inbound_.pop_front();
    for (const Burst& burst : inbound_) {
        if (offset < burst.first + burst.count)
            return burst.start + WireTime(offset - burst.first + 1);
    }
    return inbound_.empty() ? Clock::now() : inbound_.back().start + WireTime(inbound_.back().count);
}

}  // namespace quillon::sim
