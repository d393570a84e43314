#include "support/serial/SerialPortList.h"

#include <mutex>
#include <optional>

#include "support/serial/SystemSerialPorts.h"

namespace serial {

namespace {

struct PinnedPorts {
    std::mutex mutex;
    std::optional<std::vector<std::string>> names;  // set while the list is pinned
};

// Never destroyed: a port search thread that still lists during process exit must find it whole.
PinnedPorts& Pinned()
{
    static PinnedPorts* const pinned = new PinnedPorts;
    return *pinned;
}

}  // namespace

std::vector<PortInfo> list_ports()
{
    {
        PinnedPorts& pinned = Pinned();
        std::lock_guard lock(pinned.mutex);
        if (pinned.names) {
            std::vector<PortInfo> ports;
            ports.reserve(pinned.names->size());
            for (const std::string& name : *pinned.names)
                ports.push_back(PortInfo{name, "pinned", ""});
            return ports;
        }
    }
    // Listing the machine's ports can take a while; a pin meanwhile is not held up by it.
    return quillon::ListSystemSerialPorts();
}

void pin_ports(const std::vector<std::string>& names)
{
    PinnedPorts& pinned = Pinned();
    std::lock_guard lock(pinned.mutex);
    pinned.names = names;
}

void unpin_ports()
{
    PinnedPorts& pinned = Pinned();
    std::lock_guard lock(pinned.mutex);
    pinned.names.reset();
}

}  // namespace serial
