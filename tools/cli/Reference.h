// The tool's reference for man and for the shells, made from the definitions that --help prints,
// so that none of them can say something the others do not. The build runs "quillon --generate
// man|bash|zsh" and installs what it prints beside the tool.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace quillon::cli {

// The manual page, in roff: the commands and options with their descriptions, the environment
// variables that give defaults, and the exit codes.
std::string ManPage(const CLI::App& app);

// Completion of commands, subcommands and options; files where an argument is a path.
std::string BashCompletion(const CLI::App& app);
std::string ZshCompletion(const CLI::App& app);

}  // namespace quillon::cli
