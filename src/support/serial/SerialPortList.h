// The machine's serial ports, as the serial link's port search sees them.
#pragma once

#include <string>
#include <vector>

#include "support/base/Export.h"

namespace serial {

struct QUILLON_API PortInfo {
    std::string port;         // the name to open (/dev/ttyUSB0, COM3)
    std::string description;  // what the system says the port is
    std::string hardware_id;  // bus identification, where the system knows it
};

// The serial ports of the machine, or the pinned list when one is set.
QUILLON_API std::vector<PortInfo> list_ports();

// Pins the port list, process-wide, to exactly these names (an empty list: no ports at all), so
// that the port search opens only ports it was asked to. Meant for hosts that know where their
// device is, for tools given a port, and for tests that must never open a real port.
QUILLON_API void pin_ports(const std::vector<std::string>& names);

// Goes back to listing the machine's ports.
QUILLON_API void unpin_ports();

}  // namespace serial
