// Blocking loopback sockets as the benchmark's own ends of a link use them: the plain loop, the
// minimal device peer and the connections of the scaling rows. POSIX only, as the benchmark is.
#pragma once

#include <cstddef>

namespace quillon::bench {

// Sends all size bytes; false when the connection fails first.
bool SendAll(int fd, const void* data, std::size_t size);
// Receives exactly size bytes; false when the connection ends or fails first.
bool ReceiveAll(int fd, void* data, std::size_t size);
// Stop and wait: each small answer must go at once, not wait for more to join it.
void NoDelay(int fd);
// A connection to 127.0.0.1:port, or -1.
int ConnectLoopback(int port);

}  // namespace quillon::bench
