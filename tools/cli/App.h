// The command line of the quillon tool: options, commands, help, and the run of one command.
#pragma once

namespace quillon::cli {

// Parses the command line, runs the command and returns the exit status.
int Run(int argc, char** argv);

}  // namespace quillon::cli
