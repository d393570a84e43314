#include "support/net/ListenOptions.h"

namespace quillon::listen_options {

void AllowQuickRestart(asio::ip::tcp::acceptor&, asio::error_code& error)
{
    // Windows lets a new listener bind over lingering connections as it is. Its SO_REUSEADDR means
    // something else: a second socket may bind a port that a running server listens on, so two
    // processes would share the device's port and neither could tell that the other holds it.
    error.clear();
}

}  // namespace quillon::listen_options
