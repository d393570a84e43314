// A host played by a test, for the simulator to connect to: it listens on a free loopback port,
// sends frames built by the library's own frame code, and reads what the device answers, frame by
// frame, unscrambled with the key it announced. It lets a test say exactly what the host does,
// including what a well-behaved host never would.
#pragma once

#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/DevicePeer.h"
#include "protocol/HostFrames.h"

namespace quillon::testing {

using namespace std::chrono_literals;

class ScriptedHost : public HostFrames<ScriptedHost> {
public:
    using Bytes = std::vector<std::uint8_t>;

    ScriptedHost() : acceptor_(io_, {asio::ip::address_v4::loopback(), 0}) {}

    int port() const { return acceptor_.local_endpoint().port(); }

    // Takes the device's next connection; false when none comes in time.
    bool Accept(std::chrono::milliseconds timeout = 10s)
    {
        Close();
        pending_.clear();
        socket_.emplace(io_);
        asio::error_code result = asio::error::would_block;
        acceptor_.async_accept(*socket_, [&](const asio::error_code& error) { result = error; });
        RunFor(timeout, [&] { acceptor_.cancel(); });
        return !result;
    }

    // Announces key, as a host does when the link comes up; frames go under it from now on.
    void SendKeyFrame(const LinkKey& key)
    {
        std::uint8_t frame[10];
        AssembleKeyFrame(frame, key);
        SendBytes(reinterpret_cast<const char*>(frame), sizeof frame);
        InstallKey(key);
    }

    // A typed frame with the given clear body, under the key in force.
    void SendFrame(FrameType type, const Bytes& body)
    {
        Bytes frame(kMaxFrameSize);
        frame.resize(AssembleFrame(frame, TypeByte(type), body, currentKey()));
        SendBytes(reinterpret_cast<const char*>(frame.data()), static_cast<int>(frame.size()));
    }
    // A value frame carrying a 32-bit number: an archive's size or a version.
    void SendNumber(std::uint8_t kind, std::uint8_t item, std::int32_t number)
    {
        std::uint8_t bytes[4];
        WriteLe32(bytes, static_cast<std::uint32_t>(number));
        SendValue(kind, item, bytes, 4);
    }
    void SendSize(std::uint8_t kind, std::int32_t size) { SendNumber(kind, value::kArchiveSize, size); }

    int SendBytes(const char* data, int count)
    {
        asio::error_code error;
        asio::write(*socket_, asio::buffer(data, static_cast<std::size_t>(count)), error);
        return error ? -1 : count;
    }

    // The device's next frame; nullopt when none comes in time or the connection is gone.
    std::optional<CheckedFrame> ReadFrame(std::chrono::milliseconds timeout = 5s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (auto wire = TakeFrame(pending_)) {
                CheckedFrame frame{*wire, *wire};
                if (!CheckFrame(frame.clear.data(), static_cast<int>(wire->size())))
                    frame.clear.clear();
                return frame;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left <= 0ms || !ReadMore(left))
                return std::nullopt;
        }
    }

    // The next frame, which must be an acknowledgement; its code, or -1.
    int ReadAck(std::chrono::milliseconds timeout = 5s)
    {
        const auto frame = ReadFrame(timeout);
        if (!frame || !frame->checked() || frame->type() != TypeByte(FrameType::Ack))
            return -1;
        return frame->at(2);
    }

    void Close()
    {
        if (socket_) {
            asio::error_code ignored;
            socket_->shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
            socket_->close(ignored);
            socket_.reset();
        }
        closed_ = false;
    }

private:
    template <typename Cancel>
    void RunFor(std::chrono::milliseconds timeout, Cancel&& cancel)
    {
        io_.restart();
        io_.run_for(timeout);
        if (!io_.stopped()) {
            cancel();
            io_.restart();
            io_.run();
        }
    }

    // False when nothing came in time or the connection is gone (then closed_ is set).
    bool ReadMore(std::chrono::milliseconds timeout)
    {
        if (!socket_ || closed_)
            return false;
        std::uint8_t buffer[8192];
        std::size_t got = 0;
        asio::error_code result = asio::error::would_block;
        socket_->async_read_some(asio::buffer(buffer), [&](const asio::error_code& error, std::size_t n) {
            result = error;
            got = n;
        });
        RunFor(timeout, [&] { socket_->cancel(); });
        pending_.insert(pending_.end(), buffer, buffer + got);
        if (result && result != asio::error::operation_aborted)
            closed_ = true;
        return got > 0;
    }

    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    std::optional<asio::ip::tcp::socket> socket_;
    Bytes pending_;
    bool closed_ = false;
};

}  // namespace quillon::testing
