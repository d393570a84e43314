// Where and from whom the library takes the device's TCP connection. A host that keeps the
// defaults gets what it always had: port 8234 on every IPv4 interface, any peer. A host on a shared
// network narrows it:
//
//   quillon::LinkSettings link;
//   link.listenAddress = "192.168.7.1";       // the device network's interface only
//   link.allowedPeers = {"192.168.7.0/24"};   // and only devices from it
//   if (const std::string problem = quillon::LinkSettingsProblem(link); !problem.empty()) ...
//   CQuillon quillon(link);
//
// The protocol cannot tell a device from anyone else who speaks it, so these settings are what keeps
// others off the link; see docs/robustness.md.
#pragma once

#include <string>
#include <vector>

#include "protocol/DeviceLink.h"
#include "support/base/Export.h"

namespace quillon {

struct LinkSettings {
    static constexpr int kDefaultPort = kDevicePort;

    // Listen for the device on TCP at all. A host whose device is on a serial line turns this off,
    // so that nobody on the network can take the link before the device is found.
    bool listen = true;
    // The local address to listen on: "0.0.0.0" (every IPv4 interface), "::" (every interface,
    // IPv4 peers included where the system allows it), or one interface's address.
    std::string listenAddress = "0.0.0.0";
    // 1 to 65535; 0 takes a free port, which CQuillon::GetListeningPort then tells.
    int port = kDefaultPort;
    // Addresses and networks that may connect ("10.0.0.5", "192.168.7.0/24", "::1", "fd00::/8").
    // Empty: anyone. Everyone else is closed on arrival, unkeyed, and logged with their address.
    std::vector<std::string> allowedPeers;
    // Connections open at once, at least 1. The link only ever talks to one (the device) and closes
    // the one it replaces, so this only matters when peers connect faster than they are closed.
    int maxConnections = 16;
};

// Empty when the settings can be used; otherwise what is wrong with them, in a sentence.
QUILLON_API std::string LinkSettingsProblem(const LinkSettings& settings);

}  // namespace quillon
