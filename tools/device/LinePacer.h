// The pace of a serial line, for a device that pretends to sit behind one. Outbound, a frame
// leaves in small pieces spread over the time its bytes need on the wire, as a UART shifts them
// out: never a pause that a host's read could take for the end of a frame. Inbound, the bytes the
// device has already read are counted as arriving only when the line would have carried them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>

#include "Stopper.h"

namespace quillon::sim {

class LinePacer {
public:
    using Clock = std::chrono::steady_clock;

    // 115200 baud with a start and a stop bit around every byte.
    static constexpr int kBytesPerSecond = 115200 / 10;
    // How often a piece leaves. A host ends a read after 10 ms of quiet, so this stays far below.
    static constexpr auto kStep = std::chrono::milliseconds(2);

    explicit LinePacer(int bytesPerSecond = kBytesPerSecond);

    // The time count bytes take on the line.
    Clock::duration WireTime(std::uint64_t count) const;

    // Writes the bytes in pieces at the line's pace, after whatever the line still carries; false
    // when a write fails or the stop request comes.
    bool Send(const std::uint8_t* data, std::size_t size,
              const std::function<bool(const std::uint8_t*, std::size_t)>& write, Stopper& stopper);

    // Inbound: count more bytes of the stream were read at when.
    void Arrived(std::size_t count, Clock::time_point when);
    // When the line has delivered the stream's byte at offset (counted from the first byte read).
    Clock::time_point DeliveredAt(std::uint64_t offset);

private:
    struct Burst {
        std::uint64_t first;  // stream offset of its first byte
        std::uint64_t count;
        Clock::time_point start;  // when the line starts to carry it
    };

    int bytesPerSecond_;
    Clock::time_point outboundFree_{};
    std::deque<Burst> inbound_;
    std::uint64_t received_ = 0;
};

}  // namespace quillon::sim
