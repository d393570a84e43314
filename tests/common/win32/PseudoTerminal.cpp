#include "common/PseudoTerminal.h"

namespace quillon::testing {

bool PseudoTerminal::Supported()
{
    return false;
}

PseudoTerminal::PseudoTerminal() : error_("this platform has no pseudo-terminals") {}

PseudoTerminal::~PseudoTerminal() = default;

bool PseudoTerminal::write(std::string_view)
{
    return false;
}

bool PseudoTerminal::writeInPieces(std::string_view, std::size_t, std::chrono::milliseconds)
{
    return false;
}

std::string PseudoTerminal::read(std::size_t, std::chrono::milliseconds)
{
    return {};
}

std::string PseudoTerminal::drain()
{
    return {};
}

bool PseudoTerminal::makeSlaveCooked()
{
    return false;
}

void PseudoTerminal::closeMaster() {}

}  // namespace quillon::testing
