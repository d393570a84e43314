// A connected TCP socket that one thread reads and writes with plain calls, each with a time limit,
// and no event loop. A thread that serves a single connection has nothing else to wait for: a read
// that waits in the system is one call, where a round of an event loop with a time-out also arms a
// timer, and costs more than a small frame does.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include <asio/error_code.hpp>
#include <asio/ip/tcp.hpp>

namespace quillon {

class TimedSocket {
public:
    // Takes over a connected socket, which must outlive this: from now on it is read and written
    // through this alone. error says why it cannot be.
    TimedSocket(asio::ip::tcp::socket& socket, asio::error_code& error);

    // Waits up to timeout for bytes and puts those there, at most into.size(), into into: how many
    // came, 0 when none came in time. error is set when the connection is closed or failed.
    std::size_t Receive(std::span<std::uint8_t> into, std::chrono::milliseconds timeout,
                        asio::error_code& error);

    // Writes what the connection takes of data within timeout: how much that was, all of it unless
    // the time ran out or (error set) the connection failed.
    std::size_t Send(std::span<const std::uint8_t> data, std::chrono::milliseconds timeout,
                     asio::error_code& error);

private:
    asio::ip::tcp::socket& socket_;
    // The limits the socket was last given, where the system keeps them on the socket: a call
    // sets one only when it asks for another.
    std::chrono::milliseconds receiveLimit_{-1};
    std::chrono::milliseconds sendLimit_{-1};
};

}  // namespace quillon
