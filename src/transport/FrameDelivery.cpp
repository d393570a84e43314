#include "transport/FrameDelivery.h"

#include <cstdint>
#include <cstring>

#include "protocol/FrameCodec.h"
#include "support/base/Diagnostics.h"

namespace quillon {

namespace {

// Tells the device engineers, in the diagnostics, whether a block frame was found in an oversized
// chunk (1) or not (0).
constexpr const char* kBlockSearchLine = "-----------------------------------------------";

}  // namespace

int DeliverChunk(std::string& chunk, const MessageHandler& handler)
{
    if (chunk.size() <= static_cast<std::size_t>(kMaxFrameSize))
        return handler(reinterpret_cast<unsigned char*>(chunk.data()), static_cast<int>(chunk.size()));

    unsigned char block[kMaxFrameSize] = {};
    bool found = false;
    const std::size_t last = chunk.size() - kMaxFrameSize;
    for (std::size_t p = 0; p <= last; p += 2) {
        if (static_cast<std::uint8_t>(chunk[p]) == kFrameStart &&
            static_cast<std::uint8_t>(chunk[p + kMaxFrameSize - 1]) == kFrameEnd) {
            std::memcpy(block, chunk.data() + p, kMaxFrameSize);
            found = true;
            break;
        }
    }
    diag::Line(std::string(kBlockSearchLine) + (found ? "1" : "0"));
    if (!found)
        diag::Line(std::string(kBlockSearchLine) + "0");
    return handler(block, kMaxFrameSize);
}

}  // namespace quillon
