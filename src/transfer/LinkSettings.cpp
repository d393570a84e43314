#include "transfer/LinkSettings.h"

#include "support/net/AddressFilter.h"

namespace quillon {

std::string LinkSettingsProblem(const LinkSettings& settings)
{
    if (!settings.listen)
        return {};
    if (std::string problem = ListenAddressProblem(settings.listenAddress); !problem.empty())
        return "cannot listen on " + problem;
    if (settings.port < 0 || settings.port > 65535)
        return "the port " + std::to_string(settings.port) + " is not from 0 to 65535";
    AddressFilter filter;
    for (const std::string& entry : settings.allowedPeers)
        if (std::string problem = filter.Add(entry); !problem.empty())
            return "cannot allow " + problem;
    if (settings.maxConnections < 1)
        return "at least one connection must be allowed at once, not " +
               std::to_string(settings.maxConnections);
    return {};
}

}  // namespace quillon
