// The serial link's receive path: chunks as the port's reads deliver them, through the greeting
// test, the key-tag test, the fill to 72 bytes, the completeness test and the receive dispatcher,
// in every state an operation leaves the transfer object in.
//
// Input: a state byte (which operation waits; the kind it asked for; bit 7: a port on trial, whose
// first chunk must be a greeting), then chunks, each a two-byte length and its bytes.
#include <cstdint>

#include "FuzzInput.h"
#include "FuzzScratch.h"
#include "support/serial/SerialPortList.h"
#include "transfer/TransferInternals.h"

using namespace quillon;

namespace {

constexpr LinkKey kFuzzKey = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
constexpr std::int32_t kStates[] = {-1, 0, 1, 10, 11};

struct Harness {
    Harness()
    {
        fuzz::SilenceDiagnostics();
        serial::pin_ports({});  // the link must never probe a real port
        CSysconfig_SET::get()->SetSeriOrTcp(kSerialLink);
        // A loopback port of its own: replays run side by side with tests.
        LinkSettings settings;
        settings.listenAddress = "127.0.0.1";
        settings.port = 0;
        quillon = std::make_unique<CQuillon>(settings);
        TransferInternals::SerialLink(*quillon).InstallKey(kFuzzKey);
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

    harness.scratch.Reset({"out"});
    TransferInternals::Expect(*harness.quillon, kStates[state % 5], static_cast<std::uint8_t>(state >> 4 & 3),
                              (harness.scratch.root() / "in.zip").string(),
                              (harness.scratch.root() / "out").string());

    CSerialPort_SET& link = TransferInternals::SerialLink(*harness.quillon);
    if (state & 0x80)
        link.ForgetDevice();
    link.StartGathering();
    while (!input.empty()) {
        const std::string chunk = input.Piece();
        if (chunk.empty())
            continue;  // an empty read is the line being quiet
        switch (link.TakeChunk(chunk)) {
        case CSerialPort_SET::ChunkOutcome::NotADevice:
            return 0;  // the port is closed: nothing more is read from it
        case CSerialPort_SET::ChunkOutcome::Incomplete:
            break;
        case CSerialPort_SET::ChunkOutcome::Complete:
            link.DeliverGathered();
            break;
        }
    }
    harness.scratch.ExpectOnly({"in.zip", "in.zip.part", "out"});
    return 0;
}
