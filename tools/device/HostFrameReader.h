// Takes the frames of the byte stream that comes from the host off as reads fill it, cut as
// protocol/FrameSplitter.h says; the stray bytes are dropped and counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillon::sim {

using Bytes = std::vector<std::uint8_t>;

class HostFrameReader {
public:
    struct Frame {
        // Where the frame lies in the reader's buffer: good until the next call of Room or Next.
        std::span<std::uint8_t> bytes;
        std::uint64_t end = 0;  // stream offset one past the frame's last byte
    };

    // Room for count more bytes after those not taken yet, for a read to fill; Filled then takes
    // in the first `filled` of them. The room is good until the next call of any other member.
    std::span<std::uint8_t> Room(std::size_t count);
    void Filled(std::size_t filled);

    // The next whole frame, or nullopt until more bytes come.
    std::optional<Frame> Next();

    // Bytes dropped as not belonging to any frame, since the start.
    std::uint64_t dropped() const { return dropped_; }

    void Clear();

private:
    std::size_t pending() const { return tail_ - head_; }
    void Drop(std::size_t count);

    // The bytes not taken yet are buffer_[head_, tail_). Taking a frame or dropping bytes only
    // moves head_; what is left moves to the front when a read needs the room, and once Next has
    // run dry that is less than a frame.
    Bytes buffer_;
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    std::uint64_t consumed_ = 0;  // stream offset of buffer_[head_]
    std::uint64_t dropped_ = 0;
};

}  // namespace quillon::sim
