#include "support/serial/SystemSerialPorts.h"

#include <libserialport.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

namespace quillon {

namespace {

struct PortListDeleter {
    void operator()(sp_port** list) const { sp_free_port_list(list); }
};

std::string Text(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

std::string HardwareId(sp_port* port)
{
    switch (sp_get_port_transport(port)) {
    case SP_TRANSPORT_USB: {
        int vendor = 0;
        int product = 0;
        if (sp_get_port_usb_vid_pid(port, &vendor, &product) != SP_OK)
            return "USB";
        char id[32];
        std::snprintf(id, sizeof id, "USB VID:PID=%04X:%04X", static_cast<unsigned>(vendor) & 0xFFFFu,
                      static_cast<unsigned>(product) & 0xFFFFu);
        std::string result = id;
        const std::string serialNumber = Text(sp_get_port_usb_serial(port));
        if (!serialNumber.empty())
            result += " SNR=" + serialNumber;
        return result;
    }
    case SP_TRANSPORT_BLUETOOTH: {
        const std::string address = Text(sp_get_port_bluetooth_address(port));
        return address.empty() ? std::string("BLUETOOTH") : "BLUETOOTH " + address;
    }
    default:
        return {};
    }
}

}  // namespace

std::vector<serial::PortInfo> ListSystemSerialPorts()
{
    sp_port** raw = nullptr;
    if (sp_list_ports(&raw) != SP_OK || raw == nullptr)
        return {};
    const std::unique_ptr<sp_port*, PortListDeleter> list(raw);

    std::vector<serial::PortInfo> ports;
    for (sp_port** port = list.get(); *port != nullptr; ++port) {
        std::string name = Text(sp_get_port_name(*port));
        if (name.empty())
            continue;
        ports.push_back(
            serial::PortInfo{std::move(name), Text(sp_get_port_description(*port)), HardwareId(*port)});
    }
    // The port search tries ports from the last listed to the first; a stable order keeps the
    // probing order the same from one search to the next.
    std::sort(ports.begin(), ports.end(),
              [](const serial::PortInfo& a, const serial::PortInfo& b) { return a.port < b.port; });
    return ports;
}

}  // namespace quillon
