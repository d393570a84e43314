// Cuts a byte stream into frames by the length their type gives, so that each frame comes out
// whole however the stream was split or joined on its way. Frames have the same length by type
// whichever side sends them, so the host and the device cut alike. At the front of the bytes:
//
//   '*' type ... '#'   FrameLength(type) bytes with '#' at the last: a frame
//   '*' type ...       fewer bytes than that frame has, or a '*' alone: wait for more
//   anything else      stray: every byte up to the next '*' after the first (or to the end)
//
// So a '*' with a type no frame has, or without '#' where its frame would end, is stray, and the
// search resumes at the next '*': one damaged frame never costs the ones behind it. Stray bytes are
// the caller's to skip, count or pass on. A pure function: safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillon {

struct FrameCut {
    enum class Kind : std::uint8_t { Wait, Frame, Stray };
    Kind kind = Kind::Wait;
    std::size_t length = 0;  // bytes at the front that make the frame or the stray run; 0 to wait
};

FrameCut CutFrame(std::span<const std::uint8_t> bytes) noexcept;

}  // namespace quillon
