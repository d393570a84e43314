#include "support/net/ListenOptions.h"

namespace quillon::listen_options {

void AllowQuickRestart(asio::ip::tcp::acceptor& acceptor, asio::error_code& error)
{
    // Without it a stopped server's lingering connections keep its port for a minute or more.
    acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
}

}  // namespace quillon::listen_options
