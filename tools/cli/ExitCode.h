// What the tool's exit status tells a script. The numbers are part of the tool's interface: the
// help, the README and the tests all show this table.
#pragma once

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

// The table as the help footer and the README print it, one line a code.
inline constexpr const char* kExitCodeTable =
    "  0  success\n"
    "  1  the device refused, did not answer, or a transfer broke off\n"
    "  2  usage: the command line is wrong\n"
    "  3  no device showed up within --wait seconds\n"
    "  4  local problem: a missing or unreadable file, an incomplete package, a folder that cannot be "
    "written,\n"
    "     a TCP port taken by another program\n"
    "130  interrupted by Ctrl-C (143: by a termination request); what the command had begun is removed\n";

}  // namespace quillon::cli
