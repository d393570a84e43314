#include "HostFrameReader.h"

#include <algorithm>

#include "protocol/FrameSplitter.h"

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

void HostFrameReader::Filled(std::size_t filled) { tail_ += std::min(filled, buffer_.size() - tail_); }

void HostFrameReader::Drop(std::size_t count)
{
    head_ += count;
    consumed_ += count;
    dropped_ += count;
}

std::optional<HostFrameReader::Frame> HostFrameReader::Next()
{
    for (;;) {
        std::uint8_t* const start = buffer_.data() + head_;
        const FrameCut cut = CutFrame({start, pending()});
        if (cut.kind == FrameCut::Kind::Wait)
            break;
        if (cut.kind == FrameCut::Kind::Stray) {
            Drop(cut.length);
            continue;
        }
        head_ += cut.length;
        consumed_ += cut.length;
        return Frame{{start, cut.length}, consumed_};
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
