#include "support/tooling/TimedSocket.h"

#include <winsock2.h>

#include <algorithm>
#include <climits>

namespace quillon {

namespace {

// Waits up to timeout for the socket to take a receive (or a send): whether it does.
bool Ready(SOCKET socket, bool send, std::chrono::milliseconds timeout, asio::error_code& error)
{
    fd_set wanted;
    FD_ZERO(&wanted);
    FD_SET(socket, &wanted);
    const long milliseconds = static_cast<long>(std::max<long long>(timeout.count(), 0));
    timeval limit{milliseconds / 1000, milliseconds % 1000 * 1000};
    const int ready = ::select(0, send ? nullptr : &wanted, send ? &wanted : nullptr, nullptr, &limit);
    if (ready == SOCKET_ERROR)
        error.assign(::WSAGetLastError(), asio::error::get_system_category());
    return ready > 0;
}

int Chunk(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, INT_MAX)); }

}  // namespace

TimedSocket::TimedSocket(asio::ip::tcp::socket& socket, asio::error_code& error) : socket_(socket)
{
    error.clear();
    // A Windows socket whose receive or send time-out runs out is left in an indeterminate state:
    // the calls never block, and wait in select instead.
    socket_.native_non_blocking(true, error);
}

std::size_t TimedSocket::Receive(std::span<std::uint8_t> into, std::chrono::milliseconds timeout,
                                 asio::error_code& error)
{
    error.clear();
    const SOCKET socket = socket_.native_handle();
    if (into.empty() || !Ready(socket, false, timeout, error))
        return 0;
    const int got = ::recv(socket, reinterpret_cast<char*>(into.data()), Chunk(into.size()), 0);
    if (got > 0)
        return static_cast<std::size_t>(got);
    if (got == 0)
        error = asio::error::eof;
    else if (const int code = ::WSAGetLastError(); code != WSAEWOULDBLOCK)
        error.assign(code, asio::error::get_system_category());
    return 0;
}

std::size_t TimedSocket::Send(std::span<const std::uint8_t> data, std::chrono::milliseconds timeout,
                              asio::error_code& error)
{
    error.clear();
    const SOCKET socket = socket_.native_handle();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t sent = 0;
    while (sent < data.size()) {
        const int n =
            ::send(socket, reinterpret_cast<const char*>(data.data() + sent), Chunk(data.size() - sent), 0);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (const int code = ::WSAGetLastError(); code != WSAEWOULDBLOCK) {
            error.assign(code, asio::error::get_system_category());
            break;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !Ready(socket, true, left, error))
            break;
    }
    return sent;
}

}  // namespace quillon
