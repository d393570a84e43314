// What the tool's exit status tells a script. The numbers are part of the tool's interface: the
// help, the README and the tests all show this table.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>

namespace quillon::cli {

enum class ExitCode : int {
    Success = 0,
    DeviceFailed = 1,  // the device refused, did not answer, or a transfer broke off
    Usage = 2,         // the command line is wrong
    NoDevice = 3,      // no device showed up within --wait
    LocalProblem = 4,  // a missing or unreadable file, an incomplete package, a folder that cannot be written
    // A shell's statuses for a process that SIGINT or SIGTERM ended, which is what the user asked
    // for; the tool only first removes what the command had begun.
    Interrupted = 130,
    Terminated = 143,
};

inline int ToInt(ExitCode code) { return static_cast<int>(code); }

// The table as the help footers and the README print it, one line a code: all of it for the tool,
// the codes a command can end with for the command.
inline std::string ExitCodeTable(std::initializer_list<ExitCode> codes = {})
{
    static constexpr std::pair<ExitCode, const char*> kLines[] = {
        {ExitCode::Success, "  0  success\n"},
        {ExitCode::DeviceFailed, "  1  the device refused, did not answer, or a transfer broke off\n"},
        {ExitCode::Usage, "  2  usage: the command line is wrong\n"},
        {ExitCode::NoDevice, "  3  no device showed up within --wait seconds\n"},
        {ExitCode::LocalProblem,
         "  4  local problem: a missing or unreadable file, an incomplete package, a folder "
         "that cannot be written,\n"
         "     a TCP port taken by another program, a serial port that cannot be opened\n"},
        {ExitCode::Interrupted,
         "130  interrupted by Ctrl-C (143: by a termination request); what the command had "
         "begun is removed\n"},
    };
    std::string table;
    for (const auto& [code, line] : kLines)
        if (codes.size() == 0 || std::find(codes.begin(), codes.end(), code) != codes.end())
            table += line;
    return table;
}

}  // namespace quillon::cli
