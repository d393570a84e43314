// The frame splitter on any byte stream: it never claims more bytes than it has, it waits only on
// the beginning of a frame, every frame it cuts is one, and its cuts put the stream back together.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "protocol/FrameCodec.h"
#include "protocol/FrameSplitter.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> bytes(data, size);
    std::size_t offset = 0;
    std::string rebuilt;
    while (offset < size) {
        const FrameCut cut = CutFrame(bytes.subspan(offset));
        if (cut.kind == FrameCut::Kind::Wait || cut.length == 0 || cut.length > size - offset)
            break;  // waits for more
        const std::string message(reinterpret_cast<const char*>(data) + offset, cut.length);
        if (cut.kind == FrameCut::Kind::Frame &&
            (data[offset] != kFrameStart || static_cast<int>(cut.length) != FrameLength(data[offset + 1]) ||
             data[offset + cut.length - 1] != kFrameEnd))
            std::abort();
        std::string tested = message;
        IsFrameComplete(tested);
        rebuilt += message;
        offset += cut.length;
    }
    // What waits is a frame's beginning: it starts with the start byte and is shorter than a frame.
    if (offset < size &&
        (data[offset] != kFrameStart || size - offset >= static_cast<std::size_t>(kMaxFrameSize)))
        std::abort();
    if (rebuilt != std::string(reinterpret_cast<const char*>(data), offset))
        std::abort();
    return 0;
}
