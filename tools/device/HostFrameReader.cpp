#include "HostFrameReader.h"

#include <algorithm>

#include "protocol/FrameCodec.h"

namespace quillon::sim {

void HostFrameReader::Push(std::string_view bytes)
{
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
}

void HostFrameReader::Drop(std::size_t count)
{
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
    consumed_ += count;
    dropped_ += count;
}

std::optional<HostFrameReader::Frame> HostFrameReader::Next()
{
    for (;;) {
        const auto start = std::find(pending_.begin(), pending_.end(), kFrameStart);
        Drop(static_cast<std::size_t>(start - pending_.begin()));
        if (pending_.size() < 2)
            return std::nullopt;
        const auto length = static_cast<std::size_t>(FrameLength(pending_[1]));
        if (length == 0) {
            Drop(1);
            continue;
        }
        if (pending_.size() < length)
            return std::nullopt;
        if (pending_[length - 1] != kFrameEnd) {
            Drop(1);  // a '*' inside something else: look for the next one
            continue;
        }
        Frame frame;
        frame.bytes.assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
        consumed_ += length;
        frame.end = consumed_;
        return frame;
    }
}

void HostFrameReader::Clear()
{
    consumed_ += pending_.size();
    pending_.clear();
}

}  // namespace quillon::sim
