// quillon-device's command line: what it accepts, its help, and the options it makes of it.
#pragma once

#include <string>
#include <variant>

#include "SimulatorOptions.h"

namespace quillon::sim {

// Exit codes, as --help gives them.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// The options to serve with, or the exit code when there is nothing to serve: help was asked for
// (0), or the command line is wrong (2, the reason already written to standard error).
std::variant<SimulatorOptions, int> ParseCommandLine(int argc, char** argv);

}  // namespace quillon::sim
