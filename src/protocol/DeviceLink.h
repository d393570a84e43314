// How a device reaches the host, in the numbers the registry (GetSeriOrTcp) and the device-online
// callback give, and the TCP port a device connects to unless the host's link settings move it.
// Only constants: a host that includes <Quillon.h> has them too.
#pragma once

namespace quillon {

inline constexpr int kNoLink = -1;  // no link has seen a device yet
inline constexpr int kSerialLink = 0;
inline constexpr int kTcpLink = 1;

inline constexpr int kDevicePort = 8234;

}  // namespace quillon
