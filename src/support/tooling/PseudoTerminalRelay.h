// How a Windows program under Wine gets a pseudo-terminal pair. It cannot make one itself, so it
// starts the relay, a Linux program (posix/PseudoTerminalRelay.cpp), which makes the pair, maps a
// free COM port of the Wine prefix to the slave and serves the master end to the Windows program
// over two loopback connections: one for the reads, one for everything else, since a write may
// come while a read waits. Each call of PseudoTerminalPair is one request and one answer.
//
// The relay is started as `quillon-pty-relay <port> <token> held|released` and connects to the
// Windows program's listening port twice, each time sending the token first. On the first
// connection it then answers with the COM name, or with why it has none. It ends, and unmaps the
// port, when either connection closes.
#pragma once

#include <cstdint>

namespace quillon::pty_relay {

// A request: the operation, two numbers and the length of the bytes that follow (a write's).
struct Request {
    char operation = 0;
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    std::uint32_t length = 0;
};

// An answer: a status (ReadStatus for readSome, 1 or 0 for success elsewhere) and its bytes.
struct Answer {
    std::uint8_t status = 0;
    std::uint32_t length = 0;
};

// The operations. On the reading connection:
inline constexpr char kReadSome = 's';  // first: most bytes; second: time-out in milliseconds
inline constexpr char kRead = 'r';      // first: count; second: deadline in milliseconds
inline constexpr char kDrain = 'd';
// On the other:
inline constexpr char kWrite = 'w';  // first: limit in milliseconds; the bytes follow
inline constexpr char kSlaveInUse = 'u';
inline constexpr char kMakeSlaveCooked = 'c';
inline constexpr char kClose = 'x';  // closes the master; never while a read waits

// Both ends are the same machine, so the numbers cross in its own byte order. The largest request
// or answer either end accepts, so that neither can be made to allocate without bound.
inline constexpr std::uint32_t kMostBytes = 16u << 20;

}  // namespace quillon::pty_relay
