#include "protocol/FrameSplitter.h"

#include <algorithm>

#include "protocol/FrameCodec.h"

namespace quillon {

FrameCut CutFrame(std::span<const std::uint8_t> bytes) noexcept
{
    if (bytes.empty())
        return {};
    const auto stray = [bytes] {
        const auto next = std::find(bytes.begin() + 1, bytes.end(), kFrameStart);
        return FrameCut{FrameCut::Kind::Stray, static_cast<std::size_t>(next - bytes.begin())};
    };
    if (bytes[0] != kFrameStart)
        return stray();
    if (bytes.size() < 2)
        return {};
    const auto length = static_cast<std::size_t>(FrameLength(bytes[1]));
    if (length == 0)
        return stray();
    if (bytes.size() < length)
        return {};
    if (bytes[length - 1] != kFrameEnd)
        return stray();
    return {FrameCut::Kind::Frame, length};
}

}  // namespace quillon
