// The TCP link's receive path: bytes as the server delivers them (cut into frames by the link's
// splitter, or raw as they came off the socket) through the completeness test and the receive
// dispatcher, in every state an operation leaves the transfer object in.
//
// Input: a state byte (see ReceiveHarness::Begin), a mode byte (bit 0: raw delivery), then the byte
// stream.
#include <cstdint>
#include <span>
#include <vector>

#include "ReceiveHarness.h"
#include "protocol/FrameSplitter.h"

using namespace quillon;

namespace {

constexpr std::int64_t kFakeConnection = 1;  // no socket behind it: answers go nowhere

// The key is put in force after the connection has announced its own.
CHardwareServer_SET& Connected(CQuillon& quillon)
{
    CHardwareServer_SET& link = TransferInternals::TcpLink(quillon);
    link.onConn(kFakeConnection);
    return fuzz::Keyed(link);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fuzz::ReceiveHarness harness(kTcpLink);
    static CHardwareServer_SET& link = Connected(harness.quillon());
    fuzz::FuzzInput input(data, size);
    harness.Begin(input.Byte());
    const bool raw = input.Byte() & 1;

    std::string stream = input.Rest();
    std::vector<char> chunk;
    if (raw) {
        chunk.assign(stream.begin(), stream.end());
        link.onRead(kFakeConnection, chunk);
    } else {
        const std::span bytes(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size());
        std::size_t offset = 0;
        while (offset < stream.size()) {
            const std::size_t length = CutFrame(bytes.subspan(offset)).length;
            if (length == 0 || length > stream.size() - offset)
                break;  // the rest waits for bytes that never come
            chunk.assign(stream.begin() + offset, stream.begin() + offset + length);
            link.onRead(kFakeConnection, chunk);
            offset += length;
        }
    }
    harness.End();
    return 0;
}
