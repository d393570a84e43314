// The limit a stop-and-wait transfer can reach on this machine: one thread sends a 4104-byte block
// and waits for a 10-byte acknowledgement, the other reads the block and answers; blocking
// sockets over loopback TCP with TCP_NODELAY, both ends waking on the data, no file and no codec.
#pragma once

#include <cstdint>
#include <optional>

namespace quillon::bench {

inline constexpr int kBlockFrame = 4104;
inline constexpr int kAckFrame = 10;
inline constexpr int kBlockData = 4096;

// Seconds to move `bytes` of payload in 4096-byte blocks that way; nullopt when sockets fail. The
// receiving end runs on `receiverProcessor` (-1: anywhere), the sending end where the caller runs.
std::optional<double> PlainStopAndWaitSeconds(std::uint64_t bytes, int receiverProcessor = -1);

}  // namespace quillon::bench
