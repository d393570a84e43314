// Running the real programs from tests: the quillon tool to completion with its output captured,
// and the device simulator in the background for as long as a test needs it.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/tooling/ChildProcess.h"

namespace quillon::testing {

// Whether standard error can be a terminal (RunOptions::stderrOnTerminal) on this platform.
bool TerminalsSupported();

struct ProcessResult {
    int exitCode = -1;      // the exit status, or -1 when the program was killed or did not start
    std::string out;        // standard output
    std::string err;        // standard error (what the terminal received, when it was one)
                            // Both without the CR of Windows' text-mode line ends.
    bool timedOut = false;  // killed at the deadline
    double seconds = 0;     // how long it ran
};

struct RunOptions {
    std::chrono::seconds deadline{120};  // only bounds a broken run; a passing one never waits for it
    bool stderrOnTerminal = false;       // standard error on a pseudo-terminal instead of a pipe
    unsigned short columns = 0;          // the width that terminal reports
    // Given what the program has written on standard error so far, while it runs, until it returns
    // true: for a test that must act on something the program says before it ends.
    std::function<bool(const std::string& errors)> whileRunning{};
    // Then asked to stop (SIGTERM; Ctrl+Break on Windows), as a user does, rather than waited for.
    bool stopAfterWhileRunning = false;
};

// Runs the program with the arguments and waits for it to end.
ProcessResult RunProcess(const std::vector<std::string>& argv, const RunOptions& options = {});

// A program running in the background, asked to stop (then killed) when the object goes.
// Its standard output is readable line by line; its standard error goes to a log file.
class BackgroundProcess : public ChildProcess {
public:
    BackgroundProcess(const std::vector<std::string>& argv, const std::filesystem::path& log)
        : ChildProcess(argv, {.errors = ErrorStream::File, .errorFile = log})
    {}
    // The next line of its standard output, without the line end; empty after the deadline or at
    // its end.
    std::string ReadLine(std::chrono::milliseconds deadline)
    {
        return ChildProcess::ReadLine(deadline).value_or("");
    }
};

}  // namespace quillon::testing
