#include <asio.hpp>

#include <algorithm>
#include <optional>
#include <string_view>

#include "ByteLink.h"
#include "Stopper.h"
#include "support/serial/SerialPort.h"
#include "support/tooling/PseudoTerminalPair.h"
#include "support/tooling/TimedSocket.h"

namespace quillon::sim {

namespace {

// A slice of every blocking wait, so that a stop request is seen within it.
constexpr auto kSlice = std::chrono::milliseconds(20);
// A host that takes nothing for this long is as good as gone.
constexpr auto kWriteLimit = std::chrono::seconds(5);
// A pseudo-terminal write cannot be cut short by a stop request; it gets less time.
constexpr auto kPtyWriteLimit = std::chrono::seconds(1);

// As much of bytes as fits into; how much that was.
std::size_t CopyOut(std::string_view bytes, std::span<std::uint8_t> into)
{
    const std::size_t count = std::min(bytes.size(), into.size());
    std::copy_n(bytes.data(), count, into.data());
    return count;
}

class TcpLink final : public ByteLink {
public:
    explicit TcpLink(Stopper& stopper) : stopper_(stopper) {}

    bool Connect(const std::string& host, int port, std::chrono::milliseconds timeout, std::string& error)
    {
        asio::error_code code;
        asio::ip::tcp::resolver resolver(io_);
        const auto endpoints = resolver.resolve(host, std::to_string(port), code);
        if (code) {
            error = "cannot resolve " + host + ": " + code.message();
            return false;
        }
        bool done = false;
        asio::async_connect(socket_, endpoints,
                            [&](const asio::error_code& e, const asio::ip::tcp::endpoint&) {
                                code = e;
                                done = true;
                            });
        if (!RunUntil(done, std::chrono::steady_clock::now() + timeout)) {
            error = "no answer from " + host + ":" + std::to_string(port);
            return false;
        }
        if (code) {
            error = host + ":" + std::to_string(port) + ": " + code.message();
            return false;
        }
        socket_.set_option(asio::ip::tcp::no_delay(true), code);
        // From here on the event loop has no part: a round of it per frame costs more than the frame.
        timed_.emplace(socket_, code);
        if (code) {
            error = host + ":" + std::to_string(port) + ": " + code.message();
            return false;
        }
        return true;
    }

    Received Read(std::span<std::uint8_t> into, std::chrono::milliseconds timeout) override
    {
        asio::error_code code;
        const std::size_t got = timed_->Receive(into, timeout, code);
        if (code)
            return {Status::Down};
        return got > 0 ? Received{Status::Data, got} : Received{};
    }

    bool Write(const std::uint8_t* data, std::size_t size) override
    {
        // An acknowledgement or a block nearly always goes at once. A host that takes nothing is
        // waited for in slices, so that a stop request is seen.
        std::span<const std::uint8_t> rest(data, size);
        std::optional<std::chrono::steady_clock::time_point> deadline;
        for (;;) {
            asio::error_code code;
            rest = rest.subspan(timed_->Send(rest, kSlice, code));
            if (code)
                return false;
            if (rest.empty())
                return true;
            const auto now = std::chrono::steady_clock::now();
            if (!deadline)
                deadline = now + kWriteLimit;
            if (stopper_.stopped() || now >= *deadline)
                return false;
        }
    }

    ~TcpLink() override
    {
        asio::error_code ignored;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }

private:
    // Runs the handlers until done, the deadline or a stop request; an operation still under way
    // then is cancelled and finished off, so nothing refers to this call's locals afterwards.
    bool RunUntil(bool& done, std::chrono::steady_clock::time_point deadline)
    {
        io_.restart();
        while (!done && !stopper_.stopped()) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline)
                break;
            io_.run_one_for(std::min<std::chrono::steady_clock::duration>(deadline - now, kSlice));
        }
        if (!done) {
            asio::error_code ignored;
            socket_.cancel(ignored);
            io_.restart();
            while (!done)
                io_.run_one();
            return false;
        }
        return true;
    }

    Stopper& stopper_;
    asio::io_context io_;
    asio::ip::tcp::socket socket_{io_};
    std::optional<TimedSocket> timed_;  // once connected
};

class PtyDeviceLink final : public ByteLink {
public:
    explicit PtyDeviceLink(PseudoTerminalPair& pair) : pair_(pair) {}

    Received Read(std::span<std::uint8_t> into, std::chrono::milliseconds timeout) override
    {
        const auto got = pair_.readSome(into.size(), timeout);
        switch (got.status) {
        case PseudoTerminalPair::ReadStatus::Data:
            return {Status::Data, CopyOut(got.bytes, into)};
        case PseudoTerminalPair::ReadStatus::Quiet:
            return {Status::Quiet};
        case PseudoTerminalPair::ReadStatus::HungUp:
            return {Status::NoHost};
        case PseudoTerminalPair::ReadStatus::Closed:
            break;
        }
        return {Status::Down};
    }

    bool Write(const std::uint8_t* data, std::size_t size) override
    {
        // Nobody listens: the bytes are lost, as on a line with nothing at the other end, rather
        // than left for whichever host opens the port next to take for a greeting.
        if (!pair_.slaveInUse())
            return true;
        return pair_.write(std::string_view(reinterpret_cast<const char*>(data), size),
                           std::chrono::duration_cast<std::chrono::milliseconds>(kPtyWriteLimit));
    }

private:
    PseudoTerminalPair& pair_;
};

class SerialDeviceLink final : public ByteLink {
public:
    explicit SerialDeviceLink(libmarl::SerialPort& port) : port_(port) {}

    // The port's own read time-out paces the reads; the one asked for is not needed on top.
    Received Read(std::span<std::uint8_t> into, std::chrono::milliseconds) override
    {
        if (unread_.empty()) {
            if (port_.serialRead(unread_) != 0) {
                unread_.clear();
                return {Status::Down};
            }
            if (unread_.empty())
                return {Status::Quiet};
        }
        // A read of the port may bring more than the caller has room for; the rest comes next.
        const std::size_t count = CopyOut(unread_, into);
        unread_.erase(0, count);
        return {Status::Data, count};
    }

    bool Write(const std::uint8_t* data, std::size_t size) override
    {
        return port_.send(reinterpret_cast<const char*>(data), static_cast<int>(size)) ==
               static_cast<int>(size);
    }

private:
    libmarl::SerialPort& port_;
    std::string unread_;
};

}  // namespace

std::unique_ptr<ByteLink> ConnectTcp(const std::string& host, int port, std::chrono::milliseconds timeout,
                                     Stopper& stopper, std::string& error)
{
    auto link = std::make_unique<TcpLink>(stopper);
    if (!link->Connect(host, port, timeout, error))
        return nullptr;
    return link;
}

std::unique_ptr<ByteLink> PtyLink(PseudoTerminalPair& pair) { return std::make_unique<PtyDeviceLink>(pair); }

std::unique_ptr<ByteLink> SerialPortLink(libmarl::SerialPort& port)
{
    return std::make_unique<SerialDeviceLink>(port);
}

}  // namespace quillon::sim
