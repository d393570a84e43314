// How a listening socket claims its port: the platforms spell "listen again at once after a
// restart, but never beside another listener" differently.
#pragma once

#include <asio/error_code.hpp>
#include <asio/ip/tcp.hpp>

namespace quillon::listen_options {

// Set on an open acceptor before it binds: it may then take its port while connections of an
// earlier listener linger in TIME_WAIT, and still fails to bind while another socket listens on it.
void AllowQuickRestart(asio::ip::tcp::acceptor& acceptor, asio::error_code& error);

}  // namespace quillon::listen_options
