// The transfer object behind the targets that feed a link's receive path, on a loopback port of its
// own (replays run side by side with tests) and never probing a real serial port.
#pragma once

#include <cstdint>
#include <memory>

#include "FuzzSupport.h"
#include "support/serial/SerialPortList.h"
#include "transfer/TransferInternals.h"

namespace quillon::fuzz {

class ReceiveHarness {
public:
    explicit ReceiveHarness(int link)
    {
        SilenceDiagnostics();
        serial::pin_ports({});
        CSysconfig_SET::get()->SetSeriOrTcp(link);
        LinkSettings settings;
        settings.listenAddress = "127.0.0.1";
        settings.port = 0;
        quillon_ = std::make_unique<CQuillon>(settings);
    }

    CQuillon& quillon() { return *quillon_; }

    // Leaves the transfer object as an operation does while it waits: the state byte names the
    // operation (its value mod 5) and the kind it asked for (bits 4-5).
    void Begin(std::uint8_t state)
    {
        static constexpr std::int32_t kStates[] = {-1, 0, 1, 10, 11};
        scratch_.Reset({"out"});
        TransferInternals::Expect(*quillon_, kStates[state % 5], static_cast<std::uint8_t>(state >> 4 & 3),
                                  scratch_.str("in.zip"), scratch_.str("out"));
    }

    // Aborts when anything but the archive and the unpacking folder was written.
    void End() const { scratch_.ExpectOnly({"in.zip", "in.zip.part", "out"}); }

private:
    Scratch scratch_;
    std::unique_ptr<CQuillon> quillon_;
};

// The link, with the key that the seeds are scrambled with in force.
template <typename Link>
Link& Keyed(Link& link)
{
    link.InstallKey(kFuzzKey);
    return link;
}

}  // namespace quillon::fuzz
