#include "HostFrameReader.h"

#include <algorithm>

#include "protocol/FrameCodec.h"

namespace quillon::sim {

std::span<std::uint8_t> HostFrameReader::Room(std::size_t count)
{
    if (buffer_.size() - tail_ < count) {
        std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(head_),
                  buffer_.begin() + static_cast<std::ptrdiff_t>(tail_), buffer_.begin());
        tail_ -= head_;
        head_ = 0;
        if (buffer_.size() - tail_ < count)
            buffer_.resize(tail_ + count);
    }
    return {buffer_.data() + tail_, count};
}

void HostFrameReader::Filled(std::size_t filled)
{
    tail_ += std::min(filled, buffer_.size() - tail_);
}

void HostFrameReader::Drop(std::size_t count)
{
    head_ += count;
    consumed_ += count;
    dropped_ += count;
}

std::optional<HostFrameReader::Frame> HostFrameReader::Next()
{
    for (;;) {
        const std::uint8_t* const first = buffer_.data() + head_;
        const std::uint8_t* const last = buffer_.data() + tail_;
        Drop(static_cast<std::size_t>(std::find(first, last, kFrameStart) - first));
        if (pending() < 2)
            break;
        const std::uint8_t* const start = buffer_.data() + head_;
        const auto length = static_cast<std::size_t>(FrameLength(start[1]));
        if (length == 0) {
            Drop(1);
            continue;
        }
        if (pending() < length)
            break;
        if (start[length - 1] != kFrameEnd) {
            Drop(1);  // a '*' inside something else: look for the next one
            continue;
        }
        Frame frame;
        frame.bytes.assign(start, start + length);
        head_ += length;
        consumed_ += length;
        frame.end = consumed_;
        return frame;
    }
    // Nothing pending is the usual end of a read: the next read then starts at the front, and
    // nothing ever needs moving.
    if (head_ == tail_)
        head_ = tail_ = 0;
    return std::nullopt;
}

void HostFrameReader::Clear()
{
    consumed_ += pending();
    head_ = tail_ = 0;
}

}  // namespace quillon::sim
