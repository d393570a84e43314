// Where a test's transfer object takes the device's connection: a loopback port that the system
// picks free, which CQuillon::GetListeningPort tells. Tests so never contend for a port and run side
// by side, out of reach of the network.
#pragma once

#include <string>
#include <vector>

#include "transfer/LinkSettings.h"

namespace quillon::testing {

inline LinkSettings LoopbackLink(std::vector<std::string> allowed = {}, std::string address = "127.0.0.1")
{
    LinkSettings settings;
    settings.listenAddress = std::move(address);
    settings.port = 0;
    settings.allowedPeers = std::move(allowed);
    return settings;
}

}  // namespace quillon::testing
