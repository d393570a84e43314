// The serial link's receive path: chunks as the port's reads deliver them, through the greeting
// test, the key-tag test, the fill to 72 bytes, the completeness test and the receive dispatcher,
// in every state an operation leaves the transfer object in.
//
// Input: a state byte (see ReceiveHarness::Begin; bit 7: a port on trial, whose first chunk must be
// a greeting), then chunks, each a two-byte length and its bytes.
#include <cstdint>

#include "ReceiveHarness.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fuzz::ReceiveHarness harness(kSerialLink);
    static CSerialPort_SET& link = fuzz::Keyed(TransferInternals::SerialLink(harness.quillon()));
    fuzz::FuzzInput input(data, size);
    const std::uint8_t state = input.Byte();
    harness.Begin(state);

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
    harness.End();
    return 0;
}
