#include "common/DevicePeer.h"
#include "common/PseudoTerminal.h"

namespace quillon::testing {

namespace {

// The device's end of a pseudo-terminal: the master side, which the test owns.
class PtyChannel final : public ByteChannel {
public:
    explicit PtyChannel(PseudoTerminal& pty) : pty_(pty) {}

    bool Write(const std::uint8_t* data, std::size_t size) override
    {
        return pty_.write(std::string_view(reinterpret_cast<const char*>(data), size));
    }

    std::optional<Bytes> ReadSome(std::chrono::milliseconds timeout) override
    {
        auto got = pty_.line().readSome(8192, timeout);
        switch (got.status) {
        case quillon::PseudoTerminalPair::ReadStatus::Data:
            return Bytes(got.bytes.begin(), got.bytes.end());
        case quillon::PseudoTerminalPair::ReadStatus::Closed:
            return std::nullopt;
        default:
            // Quiet, or nobody has the port open at the moment: nothing can come until it does.
            return Bytes{};
        }
    }

    void Close() override { pty_.closeMaster(); }

private:
    PseudoTerminal& pty_;
};

}  // namespace

std::unique_ptr<ByteChannel> PtyDeviceChannel(PseudoTerminal& pty)
{
    return std::make_unique<PtyChannel>(pty);
}

}  // namespace quillon::testing
