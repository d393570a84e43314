#include <poll.h>
#include <unistd.h>

#include <cerrno>

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
        if (!pty_.masterOpen())
            return std::nullopt;
        pollfd ready{pty_.masterFd(), POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(timeout.count()));
        if (polled < 0)
            return errno == EINTR ? std::optional<Bytes>(Bytes{}) : std::nullopt;
        if (polled == 0)
            return Bytes{};
        if (ready.revents & POLLIN) {
            Bytes buffer(8192);
            const ssize_t got = ::read(pty_.masterFd(), buffer.data(), buffer.size());
            if (got > 0) {
                buffer.resize(static_cast<std::size_t>(got));
                return buffer;
            }
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                return Bytes{};
        }
        // The host side has no opener at the moment; nothing can come until it opens the port.
        return Bytes{};
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
