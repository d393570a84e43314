// The TCP link's frame splitter on any byte stream: it never claims more bytes than it has, it
// waits only on the beginning of a frame, and the messages it cuts put the stream back together.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "transport/HardwareServer_SET.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const char* bytes = reinterpret_cast<const char*>(data);
    std::size_t offset = 0;
    std::string rebuilt;
    while (offset < size) {
        const std::size_t length = SplitDeviceFrames(bytes + offset, size - offset);
        if (length == 0 || length > size - offset)
            break;  // waits for more
        const std::string message(bytes + offset, length);
        std::string tested = message;
        IsFrameComplete(tested);
        rebuilt += message;
        offset += length;
    }
    // What waits is a frame's beginning: it starts with the start byte and is shorter than a frame.
    if (offset < size && (data[offset] != '*' || size - offset >= static_cast<std::size_t>(kMaxFrameSize)))
        std::abort();
    if (rebuilt != std::string(bytes, offset))
        std::abort();
    return 0;
}
