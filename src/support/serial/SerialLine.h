// What the serial port needs from the platform beyond asio: a raw line, a write path that never
// touches the asio port object (so a send can run while another thread reads through it), and a
// close that cannot hang on output the line will never take.
#pragma once

#include <asio/serial_port.hpp>

#include <chrono>
#include <cstddef>

namespace quillon::serial_line {

using Handle = asio::serial_port::native_handle_type;

// Puts the line into raw 8-bit mode: no echo, no line editing, no character translation, no
// software or hardware flow control, the receiver on. Returns 0 or an error number (errno values,
// here and below).
int MakeRaw(Handle line);

// Writes all count bytes, waiting for the line to take them but never past the time limit.
// Returns 0 or an error number.
int WriteAll(Handle line, const char* data, std::size_t count, std::chrono::milliseconds limit);

// Gives output still queued on the line a short, bounded time to leave, then discards whatever is
// left in both directions, so that closing the handle does not wait on it.
void ReleaseForClose(Handle line, int baud);

// The error number (an errno value, as <cerrno> names it) for an error that the line or asio
// reported, so that the serial port's callers see the same numbers everywhere. Never 0.
int ErrorNumber(const asio::error_code& error);

}  // namespace quillon::serial_line
