// The TCP link's receive path: bytes as the server delivers them (cut into frames by the link's
// splitter, or raw as they came off the socket) through the completeness test and the receive
// dispatcher, in every state an operation leaves the transfer object in.
//
// Input: a state byte (which operation waits; the kind it asked for), a mode byte (bit 0: raw
// delivery), then the byte stream.
#include <cstdint>
#include <span>
#include <vector>

#include "FuzzInput.h"
#include "FuzzScratch.h"
#include "protocol/FrameSplitter.h"
#include "transfer/TransferInternals.h"

using namespace quillon;

namespace {

constexpr std::int64_t kFakeConnection = 1;  // no socket behind it: answers go nowhere
constexpr LinkKey kFuzzKey = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
constexpr std::int32_t kStates[] = {-1, 0, 1, 10, 11};

struct Harness {
    Harness()
    {
        fuzz::SilenceDiagnostics();
        CSysconfig_SET::get()->SetSeriOrTcp(kTcpLink);
        // A loopback port of its own: replays run side by side with tests.
        LinkSettings settings;
        settings.listenAddress = "127.0.0.1";
        settings.port = 0;
        quillon = std::make_unique<CQuillon>(settings);
        CHardwareServer_SET& link = TransferInternals::TcpLink(*quillon);
        link.onConn(kFakeConnection);
        link.InstallKey(kFuzzKey);  // seeds are scrambled with a known key
    }

    fuzz::Scratch scratch;
    std::unique_ptr<CQuillon> quillon;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Harness harness;
    fuzz::FuzzInput input(data, size);
    const std::uint8_t state = input.Byte();
    const bool raw = input.Byte() & 1;

    harness.scratch.Reset({"out"});
    TransferInternals::Expect(*harness.quillon, kStates[state % 5], static_cast<std::uint8_t>(state >> 4 & 3),
                              (harness.scratch.root() / "in.zip").string(),
                              (harness.scratch.root() / "out").string());

    CHardwareServer_SET& link = TransferInternals::TcpLink(*harness.quillon);
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
    harness.scratch.ExpectOnly({"in.zip", "in.zip.part", "out"});
    return 0;
}
