#include "common/DevicePeer.h"

#include <asio.hpp>

#include <algorithm>

#include "protocol/FrameSplitter.h"

namespace quillon::testing {

namespace {

// Runs the handlers for at most timeout; an operation still under way then is cancelled and
// finished off, so nothing refers to the caller's locals afterwards.
template <typename Cancel>
void RunFor(asio::io_context& context, std::chrono::milliseconds timeout, Cancel&& cancel)
{
    context.restart();
    context.run_for(timeout);
    if (!context.stopped()) {
        cancel();
        context.restart();
        context.run();
    }
}

class TcpChannel final : public ByteChannel {
public:
    bool Connect(const std::string& address, int port)
    {
        asio::error_code error;
        const auto ip = asio::ip::make_address(address, error);
        if (!error)
            socket_.connect({ip, static_cast<unsigned short>(port)}, error);
        if (!error)
            socket_.set_option(asio::ip::tcp::no_delay(true), error);
        return !error;
    }

    bool Write(const std::uint8_t* data, std::size_t size) override
    {
        asio::error_code error;
        asio::write(socket_, asio::buffer(data, size), error);
        return !error;
    }

    std::optional<Bytes> ReadSome(std::chrono::milliseconds timeout) override
    {
        if (!socket_.is_open())
            return std::nullopt;
        Bytes buffer(8192);
        std::size_t got = 0;
        asio::error_code result = asio::error::would_block;
        socket_.async_read_some(asio::buffer(buffer), [&](const asio::error_code& error, std::size_t n) {
            result = error;
            got = n;
        });
        RunFor(context_, timeout, [&] { socket_.cancel(); });
        if (result && result != asio::error::would_block && result != asio::error::operation_aborted)
            return std::nullopt;
        buffer.resize(got);
        return buffer;
    }

    void Close() override
    {
        asio::error_code ignored;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }

    asio::ip::tcp::socket& socket() { return socket_; }

private:
    asio::io_context context_;
    asio::ip::tcp::socket socket_{context_};
};

}  // namespace

struct TcpListener::Acceptor {
    asio::io_context context;
    asio::ip::tcp::acceptor acceptor{context, {asio::ip::address_v4::loopback(), 0}};
};

TcpListener::TcpListener() : acceptor_(std::make_unique<Acceptor>()) {}
TcpListener::~TcpListener() = default;

int TcpListener::port() const { return acceptor_->acceptor.local_endpoint().port(); }

std::unique_ptr<ByteChannel> TcpListener::Accept(std::chrono::milliseconds timeout)
{
    auto channel = std::make_unique<TcpChannel>();
    asio::error_code result = asio::error::would_block;
    acceptor_->acceptor.async_accept(channel->socket(),
                                     [&](const asio::error_code& error) { result = error; });
    RunFor(acceptor_->context, timeout, [&] { acceptor_->acceptor.cancel(); });
    if (result)
        return nullptr;
    channel->socket().set_option(asio::ip::tcp::no_delay(true), result);
    return channel;
}

std::unique_ptr<ByteChannel> ConnectTcp(int port, const std::string& address)
{
    auto channel = std::make_unique<TcpChannel>();
    if (!channel->Connect(address, port))
        return nullptr;
    return channel;
}

std::optional<Bytes> TakeFrame(Bytes& pending)
{
    for (;;) {
        const FrameCut cut = CutFrame(pending);
        const auto end = pending.begin() + static_cast<std::ptrdiff_t>(cut.length);
        if (cut.kind == FrameCut::Kind::Wait)
            return std::nullopt;
        Bytes taken(pending.begin(), end);
        pending.erase(pending.begin(), end);
        if (cut.kind == FrameCut::Kind::Frame)
            return taken;
    }
}

Bytes GreetingFrame()
{
    Bytes frame(FrameLength(FrameType::Hello));
    const int length = AssembleFrame(frame, TypeByte(FrameType::Hello), Bytes{}, LinkKey{});
    frame.resize(length);
    return frame;
}

DevicePeer::DevicePeer(std::unique_ptr<ByteChannel> channel, bool padShortFrames)
    : channel_(std::move(channel)), padShortFrames_(padShortFrames)
{}

bool DevicePeer::Fill(std::size_t wanted, std::chrono::steady_clock::time_point deadline)
{
    while (pending_.size() < wanted) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        auto chunk =
            channel_->ReadSome(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) +
                               std::chrono::milliseconds(1));
        if (!chunk)
            return false;
        pending_.insert(pending_.end(), chunk->begin(), chunk->end());
    }
    return true;
}

std::optional<Bytes> DevicePeer::ReadWireFrame(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto frame = TakeFrame(pending_))
            return frame;
        if (!Fill(pending_.size() + 1, deadline))
            return std::nullopt;
    }
}

std::optional<Bytes> DevicePeer::ReadWireFrameUntil(std::chrono::steady_clock::time_point deadline,
                                                    bool keyFrame)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        auto wire = ReadWireFrame(std::max(left, std::chrono::milliseconds(0)));
        if (!wire)
            return std::nullopt;
        if ((*wire)[1] != TypeByte(FrameType::Key))
            return wire;
        // Every key frame on the way puts its key in force, as on a real device.
        key_ = quillon::ReadKeyFrame(wire->data());
        if (keyFrame)
            return wire;
    }
}

std::optional<CheckedFrame> DevicePeer::ReadFrame(std::chrono::milliseconds timeout)
{
    auto wire = ReadWireFrameUntil(std::chrono::steady_clock::now() + timeout, false);
    if (!wire)
        return std::nullopt;
    CheckedFrame frame{*wire, *wire};
    if (!CheckFrame(frame.clear.data(), static_cast<int>(frame.clear.size()), key_))
        frame.clear.clear();
    return frame;
}

std::optional<Bytes> DevicePeer::ReadKeyFrame(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto wire = ReadWireFrameUntil(deadline, true);
        if (!wire || (*wire)[1] == TypeByte(FrameType::Key))
            return wire;
    }
}

void DevicePeer::Send(FrameType type, const Bytes& body)
{
    Bytes frame(kMaxFrameSize);
    frame.resize(AssembleFrame(frame, TypeByte(type), body, key_));
    if (padShortFrames_ && frame.size() < 72) {
        // A serial device pads short frames to 72 bytes and ends the padding with '#'.
        frame.resize(72, 0x00);
        frame.back() = kFrameEnd;
    }
    SendRaw(frame);
}

void DevicePeer::SendValue(std::uint8_t a, std::uint8_t b, std::uint32_t value)
{
    Bytes body = {a, b, 0, 0, 0, 0};
    WriteLe32(body.data() + 2, value);
    Send(FrameType::Value, body);
}

void DevicePeer::SendBlock(std::uint16_t index, const std::uint8_t* data, std::size_t size)
{
    Bytes body(2);
    WriteLe16(body.data(), index);
    body.insert(body.end(), data, data + std::min<std::size_t>(size, kBlockDataSize));
    Send(FrameType::Block, body);
}

void DevicePeer::SendRaw(const Bytes& bytes) { channel_->Write(bytes.data(), bytes.size()); }

bool DevicePeer::Quiet(std::chrono::milliseconds window)
{
    if (!pending_.empty())
        return false;
    const auto deadline = std::chrono::steady_clock::now() + window;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return true;
        auto chunk =
            channel_->ReadSome(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
        if (!chunk)
            return true;  // a closed channel carries nothing
        if (!chunk->empty()) {
            pending_.insert(pending_.end(), chunk->begin(), chunk->end());
            return false;
        }
    }
}

}  // namespace quillon::testing
