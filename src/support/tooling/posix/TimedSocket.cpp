#include "support/tooling/TimedSocket.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>

namespace quillon {

namespace {

bool TimedOut(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// How long a blocking call on the socket waits at most (SO_RCVTIMEO or SO_SNDTIMEO).
bool SetLimit(int socket, int option, std::chrono::milliseconds limit, asio::error_code& error)
{
    // Zero would mean no limit at all.
    const auto wait = std::max(limit, std::chrono::milliseconds(1));
    timeval value{};
    value.tv_sec = static_cast<time_t>(wait.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>(wait.count() % 1000 * 1000);
    if (::setsockopt(socket, SOL_SOCKET, option, &value, sizeof value) == 0)
        return true;
    error.assign(errno, asio::error::get_system_category());
    return false;
}

}  // namespace

TimedSocket::TimedSocket(asio::ip::tcp::socket& socket, asio::error_code& error) : socket_(socket)
{
    error.clear();
    // Every call blocks, for no longer than the socket's limit: a read that waits for the host is
    // then a single call.
    socket_.native_non_blocking(false, error);
}

std::size_t TimedSocket::Receive(std::span<std::uint8_t> into, std::chrono::milliseconds timeout,
                                 asio::error_code& error)
{
    error.clear();
    if (into.empty())
        return 0;
    const int socket = socket_.native_handle();
    if (timeout != receiveLimit_) {
        if (!SetLimit(socket, SO_RCVTIMEO, timeout, error))
            return 0;
        receiveLimit_ = timeout;
    }
    const ssize_t got = ::recv(socket, into.data(), into.size(), 0);
    if (got > 0)
        return static_cast<std::size_t>(got);
    if (got == 0)
        error = asio::error::eof;
    else if (!TimedOut(errno))  // a signal only cuts the wait short
        error.assign(errno, asio::error::get_system_category());
    return 0;
}

std::size_t TimedSocket::Send(std::span<const std::uint8_t> data, std::chrono::milliseconds timeout,
                              asio::error_code& error)
{
    error.clear();
    const int socket = socket_.native_handle();
    if (timeout != sendLimit_) {
        if (!SetLimit(socket, SO_SNDTIMEO, timeout, error))
            return 0;
        sendLimit_ = timeout;
    }
    std::size_t sent = 0;
    while (sent < data.size()) {
        // A host that is gone is an error here, not the signal that would end the program.
        const ssize_t n = ::send(socket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (!TimedOut(errno))
                error.assign(errno, asio::error::get_system_category());
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    return sent;
}

}  // namespace quillon
