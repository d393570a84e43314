#include <asio.hpp>

#include <algorithm>

#include "ByteLink.h"
#include "Stopper.h"
#include "support/PseudoTerminalPair.h"
#include "support/SerialPort.h"

namespace quillon::sim {

namespace {

// A slice of every blocking wait, so that a stop request is seen within it.
constexpr auto kSlice = std::chrono::milliseconds(20);
// A host that takes nothing for this long is as good as gone.
constexpr auto kWriteLimit = std::chrono::seconds(5);
// A pseudo-terminal write cannot be cut short by a stop request; it gets less time.
constexpr auto kPtyWriteLimit = std::chrono::seconds(1);

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
        return true;
    }

    Chunk Read(std::chrono::milliseconds timeout) override
    {
        Chunk chunk;
        std::size_t got = 0;
        asio::error_code code;
        bool done = false;
        buffer_.resize(8192);
        socket_.async_read_some(asio::buffer(buffer_), [&](const asio::error_code& e, std::size_t n) {
            code = e;
            got = n;
            done = true;
        });
        RunUntil(done, std::chrono::steady_clock::now() + timeout);
        if (code && code != asio::error::operation_aborted) {
            chunk.status = Status::Down;
        } else if (got > 0) {
            chunk.status = Status::Data;
            chunk.bytes.assign(buffer_.data(), got);
        }
        return chunk;
    }

    bool Write(const std::uint8_t* data, std::size_t size) override
    {
        asio::error_code code;
        bool done = false;
        asio::async_write(socket_, asio::buffer(data, size), [&](const asio::error_code& e, std::size_t) {
            code = e;
            done = true;
        });
        return RunUntil(done, std::chrono::steady_clock::now() + kWriteLimit) && !code;
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
    std::vector<char> buffer_;
};

class PtyDeviceLink final : public ByteLink {
public:
    explicit PtyDeviceLink(PseudoTerminalPair& pair) : pair_(pair) {}

    Chunk Read(std::chrono::milliseconds timeout) override
    {
        auto got = pair_.readSome(8192, timeout);
        switch (got.status) {
        case PseudoTerminalPair::ReadStatus::Data:
            return {Status::Data, std::move(got.bytes)};
        case PseudoTerminalPair::ReadStatus::Quiet:
            return {Status::Quiet, {}};
        case PseudoTerminalPair::ReadStatus::HungUp:
            return {Status::NoHost, {}};
        case PseudoTerminalPair::ReadStatus::Closed:
            break;
        }
        return {Status::Down, {}};
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
    Chunk Read(std::chrono::milliseconds) override
    {
        Chunk chunk;
        if (port_.serialRead(chunk.bytes) != 0) {
            chunk.status = Status::Down;
            chunk.bytes.clear();
        } else if (!chunk.bytes.empty()) {
            chunk.status = Status::Data;
        }
        return chunk;
    }

    bool Write(const std::uint8_t* data, std::size_t size) override
    {
        return port_.send(reinterpret_cast<const char*>(data), static_cast<int>(size)) ==
               static_cast<int>(size);
    }

private:
    libmarl::SerialPort& port_;
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

std::unique_ptr<ByteLink> PtyLink(PseudoTerminalPair& pair)
{
    return std::make_unique<PtyDeviceLink>(pair);
}

std::unique_ptr<ByteLink> SerialPortLink(libmarl::SerialPort& port)
{
    return std::make_unique<SerialDeviceLink>(port);
}

}  // namespace quillon::sim
