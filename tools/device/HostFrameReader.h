// Cuts the byte stream that comes from the host into frames by the length their type byte gives.
// Bytes that cannot start a frame (no '*', a type no frame has, no '#' where the frame would end)
// are dropped up to the next '*', so one damaged frame never costs the ones after it.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>
#include <vector>

namespace quillon::sim {

using Bytes = std::vector<std::uint8_t>;

class HostFrameReader {
public:
    struct Frame {
        Bytes bytes;
        std::uint64_t end = 0;  // stream offset one past the frame's last byte
    };

    void Push(std::string_view bytes);

    // The next whole frame, or nullopt until more bytes come.
    std::optional<Frame> Next();

    // Bytes dropped as not belonging to any frame, since the start.
    std::uint64_t dropped() const { return dropped_; }

    void Clear();

private:
    void Drop(std::size_t count);

    std::deque<std::uint8_t> pending_;
    std::uint64_t consumed_ = 0;  // stream offset of pending_.front()
    std::uint64_t dropped_ = 0;
};

}  // namespace quillon::sim
