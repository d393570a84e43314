// Running the real programs from tests: the quillon tool to completion with its output captured,
// and the device simulator in the background for as long as a test needs it. POSIX only; the tests
// that use these skip elsewhere.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace quillon::testing {

// Whether this platform can run the programs as these helpers do.
bool ProcessesSupported();

struct ProcessResult {
    int exitCode = -1;     // the exit status, or -1 when the program was killed or did not start
    std::string out;       // standard output
    std::string err;       // standard error (what the terminal received, when it was one)
    bool timedOut = false; // killed at the deadline
    double seconds = 0;    // how long it ran
};

struct RunOptions {
    std::chrono::seconds deadline{120}; // only bounds a broken run; a passing one never waits for it
    bool stderrOnTerminal = false;      // standard error on a pseudo-terminal instead of a pipe
};

// Runs the program with the arguments and waits for it to end.
ProcessResult RunProcess(const std::vector<std::string>& argv, const RunOptions& options = {});

// A program running in the background, stopped with SIGTERM (then SIGKILL) when the object goes.
// Its standard output is readable line by line; its standard error goes to a log file.
class BackgroundProcess {
public:
    BackgroundProcess(const std::vector<std::string>& argv, const std::filesystem::path& log);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    bool started() const { return pid_ > 0; }
    // The next line of its standard output, without the line end; empty after the deadline or at
    // its end.
    std::string ReadLine(std::chrono::milliseconds deadline);
    // Whether it still runs (it has not exited on its own).
    bool Running();
    // Stops it and returns its exit status (-1 when it had to be killed by a signal).
    int Stop();

private:
    int pid_ = -1;
    int out_ = -1;
    std::string pending_;
    bool exited_ = false;
    int status_ = -1;
};

} // namespace quillon::testing
