// Windows has no pseudo-terminal that a program can open by name as a serial port.
#include "support/tooling/PseudoTerminalPair.h"

namespace quillon {

bool PseudoTerminalPair::Supported() { return false; }

PseudoTerminalPair::PseudoTerminalPair(Slave) : error_("pseudo-terminals are not supported on this platform")
{}

PseudoTerminalPair::~PseudoTerminalPair() = default;

bool PseudoTerminalPair::write(std::string_view, std::chrono::milliseconds) { return false; }

PseudoTerminalPair::ReadResult PseudoTerminalPair::readSome(std::size_t, std::chrono::milliseconds)
{
    return {ReadStatus::Closed, {}};
}

bool PseudoTerminalPair::slaveInUse() const { return false; }

std::string PseudoTerminalPair::read(std::size_t, std::chrono::milliseconds) { return {}; }

std::string PseudoTerminalPair::drain() { return {}; }

bool PseudoTerminalPair::makeSlaveCooked() { return false; }

void PseudoTerminalPair::closeMaster() {}

}  // namespace quillon
