// The serial ports the operating system knows, behind one hook per platform.
#pragma once

#include <vector>

#include "support/serial/SerialPortList.h"

namespace quillon {

// Every serial port of the machine, sorted by name; empty when none can be listed.
std::vector<serial::PortInfo> ListSystemSerialPorts();

}  // namespace quillon
